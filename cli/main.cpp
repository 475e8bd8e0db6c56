#include "cli/entry.h"

int main(int argc, char** argv) { return hbr::ProgramMain(argc, argv); }
