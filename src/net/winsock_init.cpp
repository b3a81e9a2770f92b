#include "net/winsock_init.h"

#include "platform/socket.h"

CWinsockInit::CWinsockInit() {
    plat::SocketsStartup();
}

CWinsockInit& WinsockInit() {
    static CWinsockInit init;
    return init;
}
