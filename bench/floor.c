/* The floor that kelvo's replacements are measured against: the same safe
 * steps on Linux, with the same console lines and log appends, and nothing
 * else (no script, no random draws, no checks of names against sources).
 *
 * Usage: floor LIST [each]
 *   LIST holds one replacement a line: "destination<TAB>source". The log
 *   (purlolog.html) is appended to in the current folder, as kelvo does in
 *   its own folder.
 *   each: every copy is flushed (fdatasync) before it gets a name, and the
 *   folders at the end (fsync of each destination's folder once): durable
 *   at the cost of one flush a file. Without it nothing is flushed; the
 *   caller may sync afterwards.
 *
 * Per replacement: keep the first content as "<destination>.orig" (a second
 * name, once); copy the source into a file without a name in the
 * destination's folder; give it a helper name; exchange it with the
 * destination; give the previous companion a second name and rename the
 * old content over the companion; delete the companion's spare name.
 * Permission bits and (as root) owner and group are those of
 * the replaced file. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Console line and log record, as kelvo's Print does. */
static void Print(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
  int fd = open("purlolog.html", O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    char record[1100];
    int length = snprintf(record, sizeof record, "Report: %s<br>\n", text);
    if (write(fd, record, (size_t)length) < 0) perror("log");
  }
  close(fd);
}

static unsigned counter, process;
static uid_t user;
static int flushEach;
static char lastFolder[4096];

/* Flushes the folder of the destinations before once their run is over:
 * at a destination in another folder, and at the end (next NULL). */
static void FlushFolderBefore(const char* next) {
  const char* folder = next == NULL ? NULL : next[0] ? next : "./";
  if (lastFolder[0] && (folder == NULL || strcmp(folder, lastFolder) != 0)) {
    int fd = open(lastFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) perror("fsync folder");
    if (fd >= 0) close(fd);
  }
  snprintf(lastFolder, sizeof lastFolder, "%s", folder == NULL ? "" : folder);
}

/* Returns 0 when done. */
static int Replace(const char* destination, const char* source) {
  char folder[4096], helper[4200], aside[4200], companion[4200], original[4200];
  const char* slash = strrchr(destination, '/');
  size_t folderLength = slash ? (size_t)(slash - destination + 1) : 0;
  snprintf(folder, sizeof folder, "%.*s", (int)folderLength, destination);
  const char* dot = strrchr(destination + folderLength, '.');
  size_t stem = dot ? (size_t)(dot - destination) : strlen(destination);
  snprintf(companion, sizeof companion, "%.*s.tmp", (int)stem, destination);
  snprintf(original, sizeof original, "%s.orig", destination);

  struct stat old, in;
  if (lstat(destination, &old) != 0 || !S_ISREG(old.st_mode)) return -1;
  if (link(destination, original) != 0 && errno != EEXIST) return -1;
  int out = open(folderLength ? folder : ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (out < 0) return -1;
  if (stat(source, &in) != 0 || !S_ISREG(in.st_mode)) return close(out), -1;
  int from = open(source, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (from < 0 || fstat(from, &in) != 0) return close(out), -1;
  off_t copied = 0;
  for (;;) {
    ssize_t n = copy_file_range(from, NULL, out, NULL, (size_t)1 << 30, 0);
    if (n < 0) return close(from), close(out), -1;
    copied += n;
    if (n == 0 || (in.st_size > 0 && copied >= in.st_size)) break;
  }
  close(from);
  if (user == 0) {
    struct stat made;
    if (fstat(out, &made) == 0 && (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
        fchown(out, old.st_uid, old.st_gid) != 0) {
      perror("fchown");
    }
  }
  if (fchmod(out, old.st_mode & 0777) != 0) perror("fchmod");
  if (flushEach && fdatasync(out) != 0) return close(out), -1;
  snprintf(helper, sizeof helper, "%s.kelvo-%x-%x.old", folder, process, ++counter);
  if (linkat(out, "", AT_FDCWD, helper, AT_EMPTY_PATH) != 0) return close(out), -1;
  close(out);
  if (renameat2(AT_FDCWD, helper, AT_FDCWD, destination, RENAME_EXCHANGE) != 0) return -1;
  snprintf(aside, sizeof aside, "%s.kelvo-%x-%x.del", folder, process, ++counter);
  int setAside = link(companion, aside) == 0;
  if (rename(helper, companion) != 0) return -1;
  if (setAside) unlink(aside);
  if (flushEach) FlushFolderBefore(folder);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && strcmp(argv[2], "each") != 0)) {
    fprintf(stderr, "usage: floor LIST [each]\n");
    return 1;
  }
  flushEach = argc == 3;
  FILE* list = fopen(argv[1], "r");
  if (list == NULL) {
    perror(argv[1]);
    return 1;
  }
  process = (unsigned)getpid();
  user = geteuid();
  Print("Starting Loop.\n");
  char line[8400];
  int failed = 0;
  while (fgets(line, sizeof line, list)) {
    line[strcspn(line, "\n")] = '\0';
    char* tab = strchr(line, '\t');
    if (tab == NULL) continue;
    *tab = '\0';
    char text[8600], clock[16];
    time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    strftime(clock, sizeof clock, "%H:%M:%S", &local);
    snprintf(text, sizeof text, "%s, Replacing %s to %s", clock, tab + 1, line);
    Print(text);
    int result = Replace(line, tab + 1);
    failed += result != 0;
    Print(result == 0 ? " -> Done.\n" : " -> Failed.\n");
  }
  fclose(list);
  if (flushEach) FlushFolderBefore(NULL);
  return failed ? 2 : 0;
}
