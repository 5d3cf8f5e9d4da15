#include "Pellara.h"

// Pictures arrive only by drag and drop; the arguments are not read.
int main(int, char**)
{
    Pellara application;
    application.Run();
    return 0;
}
