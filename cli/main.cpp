// quorvel-cli: the link engine driven from the command line.
#include <iostream>

#include "cli/commands.h"

int main(int argc, char** argv) {
    return quorvel::cli::CliMain(argc, argv, std::cout, std::cerr);
}
