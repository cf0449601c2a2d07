#include "cli.h"

int main(int argc, char** argv)
{
    return kestrune::runCommandLine(argc, argv);
}
