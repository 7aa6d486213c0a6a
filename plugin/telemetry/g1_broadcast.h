// The G1 datagram's trip to the network: one long-lived UDP socket, made on first use.
#pragma once

#include "plugin/telemetry/g1_datagram.h"

// Broadcasts the frame's datagram; an empty one sends nothing and makes no socket. Never waits:
// a datagram that finds the send queue full is dropped. A failed set-up or send loses this
// frame's datagram only; a failed set-up is tried again by the next frame (a host that
// initialises Winsock late). A send that finds no route keeps the socket until such sends have
// failed for a second (a cable out costs no new socket per frame, a dead socket recovers); any
// other failure makes a new one at once. Either way a new socket comes at most once a second.
void g1_broadcast(const G1Text& datagram);

// Closes the socket, if one is open; the next broadcast makes a new one.
void g1_broadcast_close();
