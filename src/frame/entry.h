// The program's entry: options, configuration, run mode.
#pragma once

// Read the options, load the configuration and carry out the run mode.
// Returns the program's exit status.
int kavri_main(int argc, char *argv[]);
