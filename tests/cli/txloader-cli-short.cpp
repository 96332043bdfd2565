// txloader-cli with the tests' short limit per attempt: the same engine, so that the rows that
// wait out a silent device take a second rather than nine.
#include "CliLoader.h"
#include "Console.h"
#include "ShortLimit.h"

int main(int argc, char *argv[])
{
    return RunCli(ProgramArguments(argc, argv), TUploadLimits{TUploadMachine::TMs(ShortTimeoutMs)});
}
