#include "app/run_apply.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
    guard_standard_descriptors();
    return run_apply(argc, argv);
}
