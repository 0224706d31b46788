#pragma once

namespace quorvel::tray {

// Runs the tray application until it quits; returns the exit status.
int runTray(int argc, char** argv);

}  // namespace quorvel::tray
