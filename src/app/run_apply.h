// The command line: deltawright-apply OUTPUT PATCH ORIGINAL.
#pragma once

// Checks the arguments, opens the patch and the original, refuses an OUTPUT
// that is one of them, applies the patch and writes OUTPUT: through a
// temporary file renamed over it when complete, or directly when OUTPUT is
// not a regular file. Prints nothing on success; every message is one line
// on standard error. Returns the exit status: 0 complete, 1 the patch is not
// valid for this original, 2 anything else. After a failure no temporary file
// is left and an existing OUTPUT keeps its content.
int run_apply(int argc, char* argv[]);
