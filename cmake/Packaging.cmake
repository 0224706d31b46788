# Debian packages with CPack: `quorvel` (the tray and command line) and `quorvel-relay`
# (the server and its units). scripts/package.sh builds them; see the README.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VERSION ${QUORVEL_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_CONTACT ${QUORVEL_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quorvel quorvel-relay)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVEL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvel.invalid/")

set(CPACK_DEBIAN_QUORVEL_PACKAGE_NAME quorvel)
set(CPACK_DEBIAN_QUORVEL_PACKAGE_SECTION sound)
set(CPACK_COMPONENT_QUORVEL_DESCRIPTION "stream a studio's programme audio to a relay
Quorvel runs on the computer that plays a recording session. It captures the
programme audio (the output of Pro Tools, or two inputs of an audio interface)
through PipeWire, meters it and streams it as 24-bit PCM to a Quorvel relay,
where producers and artists elsewhere listen through a link in their browser.

This package holds the tray application, started at log-in, and the quorvel
command line (pair, links, stream, listen, meter).")

set(CPACK_DEBIAN_QUORVEL-RELAY_PACKAGE_NAME quorvel-relay)
set(CPACK_DEBIAN_QUORVEL-RELAY_PACKAGE_SECTION net)
# The maintainer scripts call systemd-sysusers and systemctl.
set(CPACK_DEBIAN_QUORVEL-RELAY_PACKAGE_DEPENDS "systemd")
set(CPACK_COMPONENT_QUORVEL-RELAY_DESCRIPTION "relay server for Quorvel studio broadcasts
The relay takes one studio's broadcast from the Quorvel application over a
WebSocket and passes it to the listeners of the links the studio created,
through a listener page that plays the stream in the browser.

This package holds the server, a systemd unit for one studio and a template
unit for many on one host, and example nginx sites that put TLS in front.")
set(CPACK_DEBIAN_QUORVEL-RELAY_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/quorvel-relay/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/debian/quorvel-relay/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/quorvel-relay/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/quorvel-relay/postrm)
set(CPACK_DEBIAN_QUORVEL_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/quorvel/conffiles)

include(CPack)
