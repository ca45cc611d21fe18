#include "pilotd_standin.h"

int main(int argc, char** argv)
{
    return pilotd_command(argc, argv, VELBO_TRAWLD_BIN);
}
