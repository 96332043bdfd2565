#include "SystemAdvice.h"

void DescribePortRefusal(TSetUp &)
{
    // Any user may bind port 69 here, with no helper: a refusal means another
    // program holds it for itself alone, or a security policy forbids it.
}
