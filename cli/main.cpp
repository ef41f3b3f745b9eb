#include "cli/Cli.h"
#include "cli/Interrupt.h"

#include <iostream>

int main(int argc, char** argv)
{
    cv::cli::interrupt::InstallHandlers();
    std::vector<std::string> args(argv + 1, argv + argc);
    return cv::cli::Run(args, std::cout, std::cerr);
}
