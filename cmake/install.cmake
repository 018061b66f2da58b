# Install rules and the Debian packages built from them (cpack -G DEB).
#
#   PREFIX/lib/corvex/plugins/tarnwickss.so   the plugin        (package tarnwickss)
#   PREFIX/lib/tarnwickss/libBrillify.so       the cloud SDK the plugin links
#   PREFIX/share/tarnwickss/conf/              sample tarnwickss.xml and credentials.json
#   PREFIX/share/doc/tarnwickss/README.md
#   PREFIX/bin/corvex-host                     host program      (package tarnwickss-tools)
#   PREFIX/bin/tarnwickss-speech-service       local speech service
#   PREFIX/lib/libcorvexserver.so              the host's interface library
#
# The server's own conf folder belongs to the operator: the samples are only
# installed for copying. Installed programs and the plugin find their
# libraries relative to themselves, so any PREFIX (or an unpacked package
# tree) works without LD_LIBRARY_PATH.
set(TARNWICKSS_INSTALL_BINDIR bin)
set(TARNWICKSS_INSTALL_LIBDIR lib)
set(TARNWICKSS_INSTALL_PLUGINDIR lib/corvex/plugins)
set(TARNWICKSS_INSTALL_SDKDIR lib/tarnwickss)
set(TARNWICKSS_INSTALL_CONFDIR share/tarnwickss/conf)
set(TARNWICKSS_INSTALL_DOCDIR share/doc/tarnwickss)

file(RELATIVE_PATH plugin_from_bin /${TARNWICKSS_INSTALL_BINDIR} /${TARNWICKSS_INSTALL_PLUGINDIR}/tarnwickss.so)
file(RELATIVE_PATH sdk_from_plugin /${TARNWICKSS_INSTALL_PLUGINDIR} /${TARNWICKSS_INSTALL_SDKDIR})
file(RELATIVE_PATH sdk_from_bin /${TARNWICKSS_INSTALL_BINDIR} /${TARNWICKSS_INSTALL_SDKDIR})
file(RELATIVE_PATH lib_from_bin /${TARNWICKSS_INSTALL_BINDIR} /${TARNWICKSS_INSTALL_LIBDIR})

# An installed corvex-host loads the installed plugin by default.
target_compile_definitions(corvex-host PRIVATE CORVEX_HOST_PLUGIN_INSTALLED="${plugin_from_bin}")

set_target_properties(tarnwickss PROPERTIES INSTALL_RPATH "\$ORIGIN/${sdk_from_plugin}")
set_target_properties(tarnwickss-speech-service PROPERTIES INSTALL_RPATH "\$ORIGIN/${sdk_from_bin}")
set_target_properties(corvex-host PROPERTIES INSTALL_RPATH "\$ORIGIN/${lib_from_bin}")

install(TARGETS tarnwickss LIBRARY DESTINATION ${TARNWICKSS_INSTALL_PLUGINDIR} COMPONENT tarnwickss)
install(TARGETS Brillify LIBRARY DESTINATION ${TARNWICKSS_INSTALL_SDKDIR} COMPONENT tarnwickss)
install(FILES conf/tarnwickss.xml conf/credentials.json DESTINATION ${TARNWICKSS_INSTALL_CONFDIR}
        COMPONENT tarnwickss)
install(FILES README.md DESTINATION ${TARNWICKSS_INSTALL_DOCDIR} COMPONENT tarnwickss)

install(TARGETS corvex-host tarnwickss-speech-service RUNTIME DESTINATION ${TARNWICKSS_INSTALL_BINDIR}
        COMPONENT tools)
install(TARGETS corvexserver LIBRARY DESTINATION ${TARNWICKSS_INSTALL_LIBDIR} COMPONENT tools)

# --- Debian packages ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwickss)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TARNWICKSS maintainers <tarnwickss@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL tarnwickss tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Runtime dependencies come from dpkg-shlibdeps. libBrillify and
# libcorvexserver are ours: looked up in the build tree, no dependency of
# their own. The plugin needs no package for libcorvexserver: the server that
# loads it has that library loaded already.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/platform/brillify ${PROJECT_BINARY_DIR}/platform/corvex)

set(CPACK_DEBIAN_TARNWICKSS_PACKAGE_NAME tarnwickss)
set(CPACK_DEBIAN_TARNWICKSS_DESCRIPTION "speech-synthesizer plugin for the Corvex MRCP server
tarnwickss.so answers the MRCPv2 synthesizer resource with speech from the
Brillify cloud service. Sample configuration in /usr/share/tarnwickss/conf.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarnwickss-tools)
# The speech service links libBrillify from the plugin's package, and
# corvex-host is of no use without the plugin.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "tarnwickss (= ${PROJECT_VERSION}), espeak-ng-data")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line MRCP host and local speech service for tarnwickss
corvex-host loads the tarnwickss plugin as the Corvex server does and sends
it MRCPv2 requests; tarnwickss-speech-service answers the plugin's cloud
requests on loopback with espeak-ng speech.")

include(CPack)
