// g1: the reference receiver of the plug-in's G1 datagram (`g1 listen`), a relay that sends
// the datagrams on to unicast receivers (`g1 relay`), live instruments in a browser
// (`g1 serve`), a recorder and sender of G1 for receivers tested without a simulator
// (`g1 record`, `g1 send`), and a publisher to an MQTT broker (`g1 publish`). This file only adds
// the subcommands and runs the one given.
#include "tessel_version.h"
#include "tools/common/interrupt.h"
#include "tools/common/udp.h"
#include "tools/g1/command.h"

#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{
        "Receives and decodes the G1 telemetry datagram, relays it to unicast targets, shows it "
        "in a browser, records it, sends it from a recording or a scenario, or publishes it to an "
        "MQTT broker."};
    app.set_version_flag("--version", std::string("g1 ") + kTesselVersion);
    app.require_subcommand(1);
    const G1Command commands[] = {
        add_listen_command(app), add_relay_command(app), add_serve_command(app),
        add_record_command(app), add_send_command(app),  add_publish_command(app),
    };

    CLI11_PARSE(app, argc, argv);

    std::string error;
    if (!udp_startup(error)) {
        std::fprintf(stderr, "g1: %s\n", error.c_str());
        return kExitFailed;
    }
    interrupt_install();
    int rc = 0;
    for (const G1Command& c : commands) {
        if (c.app->parsed()) rc = c.run();
    }
    udp_cleanup();
    return rc;
}
