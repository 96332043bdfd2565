// txloader-cli: the console loader. All it does is in the library beside it.
#include "CliLoader.h"

int main(int argc, char *argv[])
{
    QStringList Arguments;
    for (int i = 1; i < argc; ++i)
        Arguments << QString::fromLocal8Bit(argv[i]);
    return RunCli(Arguments);
}
