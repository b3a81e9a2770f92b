// Socket addresses and byte order for the layers above the platform. On
// Windows they are declared here as Windows Sockets lays them out, so that
// winsock2.h (and windows.h behind it) stays inside the Windows platform
// files; those include winsock2.h first, and its declarations are used.
#pragma once

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#elif !defined(_WINSOCK2API_)
#include <cstdint>

using socklen_t = int;
using in_addr_t = std::uint32_t;
using sa_family_t = unsigned short;
constexpr int AF_INET = 2;
constexpr int AF_INET6 = 23;
constexpr in_addr_t INADDR_NONE = 0xFFFFFFFFu;

struct in_addr {
    union {
        struct {
            unsigned char s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            unsigned short s_w1, s_w2;
        } S_un_w;
        unsigned long S_addr;
    } S_un;
};
#define s_addr S_un.S_addr
struct in6_addr {
    union {
        unsigned char Byte[16];
        unsigned short Word[8];
    } u;
};
struct sockaddr {
    unsigned short sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    short sin_family;
    unsigned short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
struct sockaddr_in6 {
    short sin6_family;
    unsigned short sin6_port;
    unsigned long sin6_flowinfo;
    in6_addr sin6_addr;
    unsigned long sin6_scope_id;
};
struct sockaddr_storage {
    short ss_family;
    char ss_pad1[6];
    long long ss_align;
    char ss_pad2[112];
};

extern "C" {
unsigned short __stdcall htons(unsigned short);
unsigned short __stdcall ntohs(unsigned short);
unsigned long __stdcall htonl(unsigned long);
unsigned long __stdcall ntohl(unsigned long);
unsigned long __stdcall inet_addr(const char*);
int __stdcall inet_pton(int family, const char* text, void* out);
}
#endif
