#include "app/run_tool.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    guard_standard_descriptors();
    return run_tool(argc, argv);
}
