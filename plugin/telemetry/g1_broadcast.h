// The G1 datagram's trip to the network: one long-lived UDP socket, made on first use.
#pragma once

#include "plugin/host/message_record.h"

#include <span>

// Builds the frame's datagram and broadcasts it. A frame without records sends nothing. A
// failed set-up or send loses this frame's datagram only. A send that finds no route keeps the
// socket (a cable out costs no new socket per frame); any other failure drops it, and the next
// frame starts afresh (a host that initialises Winsock late).
void g1_broadcast(std::span<const MessageRecord> records);

// Closes the socket, if one is open; the next broadcast makes a new one.
void g1_broadcast_close();
