// Entry point of the kelvo executable.
#include "app/program.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
