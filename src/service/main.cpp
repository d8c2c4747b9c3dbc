#include "service/tessorservice.h"

int main(int argc, char **argv)
{
    Q_INIT_RESOURCE(mirvale);
    TessorService service(argc, argv);
    return service.exec();
}
