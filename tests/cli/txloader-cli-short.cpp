// txloader-cli with the tests' short limit per attempt: the same engine, so that the rows that
// wait out a silent device take a second rather than nine.
#include "CliLoader.h"
#include "ShortLimit.h"

int main(int argc, char *argv[])
{
    QStringList Arguments;
    for (int i = 1; i < argc; ++i)
        Arguments << QString::fromLocal8Bit(argv[i]);
    return RunCli(Arguments, ShortTimeoutMs);
}
