// txloader-cli: the console loader. All it does is in the library beside it.
#include "CliLoader.h"
#include "Console.h"

int main(int argc, char *argv[])
{
    return RunCli(ProgramArguments(argc, argv), TUploadLimits{});
}
