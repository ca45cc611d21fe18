#include <iostream>

#include "trawl_client.h"

int main(int argc, char** argv)
{
    return client_command(argc, argv, std::cout, std::cerr);
}
