# Where `cmake --install` and the Debian packages put things (the same rules for both).
# Components: quorvel (the tray and command line) and quorvel-relay (the server).
include(GNUInstallDirs)

find_program(GZIP_PROGRAM gzip REQUIRED)
# The generated files the install rules take (scripts/package.sh builds it).
add_custom_target(install_files ALL)

# Installs FILE gzipped (-9n: reproducible, as Debian wants) into DESTINATION.
function(quorvel_install_gzipped file destination component)
  get_filename_component(name ${file} NAME)
  set(compressed ${CMAKE_BINARY_DIR}/gz/${name}.gz)
  if(NOT TARGET gz_${name})
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
      COMMAND ${GZIP_PROGRAM} -9n -c ${file} > ${compressed}
      DEPENDS ${file} VERBATIM)
    add_custom_target(gz_${name} DEPENDS ${compressed})
    add_dependencies(install_files gz_${name})
  endif()
  install(FILES ${compressed} DESTINATION ${destination} COMPONENT ${component})
endfunction()

# systemd's unit directory: Debian 12 keeps packaged units in /lib/systemd/system.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QUORVEL_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(QUORVEL_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_LIBDIR}/systemd/system)
endif()

# The client.
install(TARGETS quorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quorvel)
install(TARGETS quorvel-tray RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/quorvel COMPONENT quorvel)
quorvel_install_gzipped(${PROJECT_SOURCE_DIR}/man/quorvel.1 ${CMAKE_INSTALL_MANDIR}/man1 quorvel)
# In the desktop's application menu, with its icon in the hicolor theme.
install(FILES ${PROJECT_SOURCE_DIR}/data/quorvel.desktop
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT quorvel)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/hicolor/scalable/apps/quorvel.svg
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT quorvel)
# Started at log-in on every XDG desktop; a user turns it off in the desktop's
# start-up settings (which write a Hidden=true copy to ~/.config/autostart).
install(FILES ${PROJECT_SOURCE_DIR}/data/autostart/quorvel.desktop
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart COMPONENT quorvel)

# The relay, its units, its system user and the reverse-proxy examples.
install(TARGETS quorvel-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quorvel-relay)
quorvel_install_gzipped(${PROJECT_SOURCE_DIR}/man/quorvel-relay.1 ${CMAKE_INSTALL_MANDIR}/man1 quorvel-relay)
# Both units share one hardening block.
file(READ packaging/systemd/hardening.conf QUORVEL_UNIT_HARDENING)
string(STRIP "${QUORVEL_UNIT_HARDENING}" QUORVEL_UNIT_HARDENING)
foreach(unit quorvel-relay.service quorvel-relay@.service)
  configure_file(packaging/systemd/${unit} ${CMAKE_BINARY_DIR}/systemd/${unit} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/systemd/${unit} DESTINATION ${QUORVEL_SYSTEMD_UNIT_DIR} COMPONENT quorvel-relay)
endforeach()
install(FILES packaging/systemd/quorvel-relay.sysusers
  DESTINATION lib/sysusers.d RENAME quorvel-relay.conf COMPONENT quorvel-relay)
install(FILES packaging/systemd/quorvel-relay.default
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME quorvel-relay COMPONENT quorvel-relay)
install(FILES packaging/nginx/quorvel-relay.conf packaging/nginx/quorvel-studios.conf packaging/nginx/quorvel-relay-proxy.conf
              packaging/systemd/studio.env
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvel-relay/examples COMPONENT quorvel-relay)

# Each package's copyright and changelog, where Debian looks for them. The changelog
# names this very version, as a Debian changelog must.
set(QUORVEL_MAINTAINER "Quorvel maintainers <maintainers@users.noreply.c-seed-4a3f47c5.example>"
  CACHE STRING "Maintainer field of the Debian packages")
configure_file(packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
foreach(component quorvel quorvel-relay)
  install(FILES packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component}
    COMPONENT ${component})
  quorvel_install_gzipped(${CMAKE_BINARY_DIR}/debian/changelog
    ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component} ${component})
endforeach()
