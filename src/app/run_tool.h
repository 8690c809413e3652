// The command line: deltawright PATCH UPDATED ORIGINAL.
#pragma once

// Checks the arguments, opens the updated file, the original file and then
// the patch file, writes the patch and closes all three. Prints the usage text
// or one message on standard output, nothing on success and nothing on
// standard error. Returns the exit status: 0 when no patch file was written or
// a complete one was, 1 when a patch file was created but could not be
// completed (a regular patch file is then removed, as it is when SIGINT,
// SIGTERM or SIGHUP stops the run).
int run_tool(int argc, char* argv[]);
