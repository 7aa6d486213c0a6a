// A broker's PREFIX/+/g1 as a source: each message a datagram from the sender its topic names.
#pragma once

#include "tools/g1/mqtt/broker_client.h"
#include "tools/g1/sources/source.h"

#include <string>

// Starts connecting (the connection is made and kept by the waits); false, with `error`, when
// the link cannot start at all.
bool broker_source_open(const BrokerOptions& options, G1Source& source, std::string& error);
