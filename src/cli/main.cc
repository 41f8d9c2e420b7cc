#include "cli/entry.h"

int main(int argc, char** argv) { return qrl::main_entry(argc, argv); }
