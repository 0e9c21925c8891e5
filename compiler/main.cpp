// ksm_compiler entry point; the driver lives in driver.cpp so tests link it.
#include "driver.h"

int main(int argc, char** argv)
{
    return run_compiler(argc, argv);
}
