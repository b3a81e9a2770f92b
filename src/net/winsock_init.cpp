#include "net/winsock_init.h"

#include "platform/socket.h"

namespace net {

CWinsockInit::CWinsockInit() {
    plat::SocketsStartup();
}

CWinsockInit& WinsockInit() {
    static CWinsockInit init;
    return init;
}

}  // namespace net
