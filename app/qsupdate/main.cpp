#include "app/qsupdate/qsupdate.h"

int main(int argc, char *argv[])
{
    return qsupdate_main(argc, argv);
}
