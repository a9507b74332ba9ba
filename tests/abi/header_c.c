/* The host interface header compiles as C too (a host written in C). */
#include "zedadad/zedadad.h"

int main(void) {
    ZevRequest request = {0};
    request.iFunction = ZEV_GET_ZEV_INFO;
    return (int)request.iFunction - ZEV_GET_ZEV_INFO;
}
