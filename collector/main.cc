// The tarnwell program.

#include "tarnwell.h"

int main(int argc, char **argv) { return TarnwellMain(argc, argv); }
