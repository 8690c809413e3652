// deltawright-apply --list [--json] PATCH: what a patch does, read from the
// patch alone through the library's record reader, in constant memory.
#pragma once

#include <cstdio>

// Prints the summary of the patch read from `file` (named `name`) on
// standard output: in words, or with `json` as JSON Lines (one object per
// line). Returns 0 for a valid patch, 1 for an invalid one, 2 when reading
// it fails (after a message).
int list_patch(std::FILE* file, const char* name, bool json);
