// Stop requests (Ctrl+C, SIGTERM, SIGHUP, console close).
// Installed at start; on Linux it also keeps the file-size limit signal from
// ending the process in the middle of a copy, and a closed console (SIGPIPE)
// from ending it at all: writes to it then fail quietly.
#pragma once

// The handler for as long as the object lives; the handlers that were there
// before come back when it goes.
class StopHandler {
 public:
  StopHandler();
  ~StopHandler();
  StopHandler(const StopHandler&) = delete;
  StopHandler& operator=(const StopHandler&) = delete;
  // False when the system refused a part of it.
  bool IsInstalled() const { return installed; }

 private:
  bool installed = false;
};

bool StopRequested();
// Lets tests and the program itself raise the same request a signal would.
void RequestStop();
