#pragma once

#include <string>

// Where this user's files live. Every call reads the environment afresh, so tests can
// point HOME and the XDG variables at temporary directories.
namespace quorvel::paths {

// $HOME, else the password database's home directory, else "/".
std::string home();
// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
std::string configHome();
// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::string dataHome();

// The configuration file prepared outside the application.
std::string configFile();
// The preferences file ("deviceName", "session", "source").
std::string preferencesFile();
// The device key file, used only when no Secret Service is available.
std::string keyFile();

}  // namespace quorvel::paths
