// The command line: deltawright PATCH UPDATED ORIGINAL.
#pragma once

// Checks the arguments, opens the updated file, the original file and then
// the patch file, writes the patch and closes all three. Prints the usage text
// or one message on standard output, nothing on success and nothing on
// standard error. Returns the exit status: 0 when a complete patch was
// written (or, with no arguments, the usage text printed), 1 in every other
// case. The patch is written as every output is (platform/platform.h): a
// regular patch file is replaced only by a complete patch, so after a failure
// or a signal the name holds its old content or nothing.
int run_tool(int argc, char* argv[]);
