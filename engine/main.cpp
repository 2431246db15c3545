// Entry point of the kelvo executable.
#include "engine/program.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
