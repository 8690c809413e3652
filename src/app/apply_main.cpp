#include "app/run_apply.h"

int main(int argc, char* argv[]) {
    return run_apply(argc, argv);
}
