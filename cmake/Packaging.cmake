# Install rules and the Debian packages (cpack -G DEB in the build tree, or
# scripts/package.sh): zevo-viewer, zevo-camd, zevo-p2pd, libzevo-p2p, libzevo-p2p-dev.
include(GNUInstallDirs)
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_moduledir ${CMAKE_INSTALL_LIBDIR}/zevo2)

# Programs, the control module, the transport library.
install(TARGETS zevo-host zevo-regsvr RUNTIME COMPONENT viewer)
# The Qt stand-ins are shared by the host and the module it loads; they are private to
# the viewer, beside the module.
install(TARGETS zevoplayerocx zevo_platform_qt LIBRARY DESTINATION ${_moduledir}
        COMPONENT viewer)
set_target_properties(zevo-host PROPERTIES INSTALL_RPATH "\$ORIGIN/../${CMAKE_INSTALL_LIBDIR}/zevo2")
set_target_properties(zevoplayerocx PROPERTIES INSTALL_RPATH "\$ORIGIN")
install(TARGETS zevo-camd RUNTIME COMPONENT camd)
install(TARGETS zevo-p2pd zevo-p2pcheck zevo-udpproxy RUNTIME COMPONENT p2pd)
install(TARGETS zevo_p2p LIBRARY COMPONENT libp2p NAMELINK_COMPONENT libp2p-dev)
install(FILES ${PROJECT_SOURCE_DIR}/p2p/PPPP_API.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zevo2 COMPONENT libp2p-dev)
configure_file(${_pkg}/zevo-p2p.pc.in ${CMAKE_BINARY_DIR}/zevo-p2p.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zevo-p2p.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libp2p-dev)

# Man pages, compressed as Debian wants them.
set(_man_gz)
foreach(page zevo-host.1 zevo-regsvr.1 zevo-camd.8 zevo-p2pd.8 zevo-p2pcheck.1
             zevo-udpproxy.1)
  set(_gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${_gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                     COMMAND gzip -9nc ${_pkg}/man/${page} > ${_gz}
                     DEPENDS ${_pkg}/man/${page} VERBATIM)
  list(APPEND _man_gz ${_gz})
  set(_man_${page} ${_gz})
endforeach()
add_custom_target(man ALL DEPENDS ${_man_gz})
install(FILES ${_man_zevo-host.1} ${_man_zevo-regsvr.1}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT viewer)
install(FILES ${_man_zevo-camd.8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT camd)
install(FILES ${_man_zevo-p2pd.8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT p2pd)
install(FILES ${_man_zevo-p2pcheck.1} ${_man_zevo-udpproxy.1}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT p2pd)

# The viewer on the desktop.
install(FILES ${_pkg}/org.zevo2.Player.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT viewer)
install(FILES ${_pkg}/org.zevo2.Player.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT viewer)
install(FILES ${_pkg}/org.zevo2.Player.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT viewer)
install(FILES ${PROJECT_SOURCE_DIR}/docs/screenshot.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zevo2 COMPONENT viewer)

# The services: units, configuration in /etc (the state directories in /var/lib come
# from the units' StateDirectory).
install(FILES ${PROJECT_SOURCE_DIR}/p2p/zevo-p2pd.service DESTINATION /lib/systemd/system
        COMPONENT p2pd)
install(FILES ${_pkg}/p2pd.conf DESTINATION /etc/zevo COMPONENT p2pd)
install(FILES ${PROJECT_SOURCE_DIR}/device/zevo-camd.service DESTINATION /lib/systemd/system
        COMPONENT camd)
install(FILES ${PROJECT_SOURCE_DIR}/device/zevo-camd.conf.example
        DESTINATION /etc RENAME zevo-camd.conf COMPONENT camd)
install(FILES ${PROJECT_SOURCE_DIR}/device/zevo-camd.conf.example
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zevo-camd/examples COMPONENT camd)

# Every package carries its copyright and changelog.
set(_changelog ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${_changelog}
                   COMMAND gzip -9nc ${_pkg}/changelog.Debian > ${_changelog}
                   DEPENDS ${_pkg}/changelog.Debian VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${_changelog})

set(_components viewer camd p2pd libp2p libp2p-dev)
set(_names zevo-viewer zevo-camd zevo-p2pd libzevo-p2p libzevo-p2p-dev)
foreach(component name IN ZIP_LISTS _components _names)
  install(FILES ${_pkg}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name}
          COMPONENT ${component})
  # A native package's changelog has the plain name.
  install(FILES ${_changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name}
          RENAME changelog.gz COMPONENT ${component})
  string(TOUPPER ${component} _upper)
  set(CPACK_DEBIAN_${_upper}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${_upper}_FILE_NAME ${name}_${PROJECT_VERSION}_amd64.deb)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zevo2)
set(CPACK_PACKAGE_VENDOR "ZEVO2 developers")
set(CPACK_PACKAGE_CONTACT "ZEVO2 developers <zevo2-dev@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zevo2.invalid/")
# Dependencies on system libraries come from dpkg-shlibdeps; those on our own transport
# library, which it cannot look up before it is installed, are written here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/p2p
                                                 ${CMAKE_BINARY_DIR}/platform)
set(_libdep "libzevo-p2p (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_VIEWER_PACKAGE_SECTION video)
set(CPACK_COMPONENT_VIEWER_DESCRIPTION
    "Live viewer for P2P network cameras\nzevo-host and the ZEVO2 viewer control: live video and sound of network\ncameras and video recorders reached by their device identifier through a\npeer-to-peer transport, recordings, snapshots and the device's e-mail alert.")
set(CPACK_DEBIAN_VIEWER_PACKAGE_DEPENDS
    "${_libdep}, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-libav")
set(CPACK_DEBIAN_VIEWER_PACKAGE_RECOMMENDS "zevo-camd, zevo-p2pd")

set(CPACK_DEBIAN_CAMD_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CAMD_DESCRIPTION
    "ZEVO2 camera device daemon\nzevo-camd serves the cameras of this machine (test patterns, media files or\nV4L2 webcams, with PCM or IMA ADPCM audio) to ZEVO2 viewers over the P2P\ntransport.")
set(CPACK_DEBIAN_CAMD_PACKAGE_DEPENDS
    "${_libdep}, adduser, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-ugly")
set(CPACK_DEBIAN_CAMD_PACKAGE_CONTROL_EXTRA
    "${_pkg}/debian/zevo-camd/postinst;${_pkg}/debian/zevo-camd/prerm;${_pkg}/debian/zevo-camd/postrm;${_pkg}/debian/zevo-camd/conffiles")

set(CPACK_DEBIAN_P2PD_PACKAGE_SECTION net)
set(CPACK_COMPONENT_P2PD_DESCRIPTION
    "ZEVO2 P2P rendezvous and relay service\nzevo-p2pd lets devices register their identifier and viewers find them,\nhelps both to a direct UDP path and relays when there is none. With the\ndiagnostic zevo-p2pcheck and the UDP impairment proxy zevo-udpproxy.")
set(CPACK_DEBIAN_P2PD_PACKAGE_DEPENDS "${_libdep}, adduser")
set(CPACK_DEBIAN_P2PD_PACKAGE_CONTROL_EXTRA
    "${_pkg}/debian/zevo-p2pd/postinst;${_pkg}/debian/zevo-p2pd/prerm;${_pkg}/debian/zevo-p2pd/postrm;${_pkg}/debian/zevo-p2pd/conffiles")

set(CPACK_DEBIAN_LIBP2P_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBP2P_DESCRIPTION
    "ZEVO2 P2P transport library\nThe PPPP_* calls: sessions to devices by their identifier, through a\nzevo-p2pd service, direct or relayed, encrypted end to end.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBP2P_PACKAGE_CONTROL_EXTRA ${_pkg}/debian/libzevo-p2p/triggers)

set(CPACK_DEBIAN_LIBP2P-DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_LIBP2P-DEV_DESCRIPTION
    "ZEVO2 P2P transport library: development files\nThe PPPP_API.h header, the linker name and a pkg-config file (zevo-p2p).")
set(CPACK_DEBIAN_LIBP2P-DEV_PACKAGE_DEPENDS "${_libdep}")

include(CPack)
