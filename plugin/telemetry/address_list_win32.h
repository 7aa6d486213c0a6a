// The list getaddrinfo returns, freed however the function that asked for it ends: the
// plug-in's broadcast, the tools' UDP and the Update benchmark resolve through it.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

struct AddressList {
    addrinfo* first = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (first != nullptr) {
            ::freeaddrinfo(first);
        }
    }
};
