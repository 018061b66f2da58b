# Install rules and the Debian packages built from them (cpack -G DEB).
#
#   PREFIX/lib/corvex/plugins/tarnwickss.so   the plugin        (package tarnwickss)
#   PREFIX/lib/tarnwickss/libBrillify.so       the cloud SDK the plugin links
#   PREFIX/share/tarnwickss/conf/              sample tarnwickss.xml and credentials.json
#   PREFIX/share/doc/tarnwickss/               README.md, copyright, changelog.gz
#   PREFIX/bin/corvex-host                     host program      (package tarnwickss-tools)
#   PREFIX/bin/tarnwickss-speech-service       local speech service
#   PREFIX/lib/tarnwickss/libcorvexserver.so   the host's interface library, private
#                                              to corvex-host like libBrillify to the plugin
#   PREFIX/share/man/man1/                     corvex-host.1.gz, tarnwickss-speech-service.1.gz
#   PREFIX/share/doc/tarnwickss-tools/         copyright, changelog.gz
#
# The server's own conf folder belongs to the operator: the samples are only
# installed for copying. Installed programs and the plugin find their
# libraries relative to themselves, so any PREFIX (or an unpacked package
# tree) works without LD_LIBRARY_PATH.
set(TARNWICKSS_INSTALL_BINDIR bin)
set(TARNWICKSS_INSTALL_MANDIR share/man/man1)
set(TARNWICKSS_INSTALL_PLUGINDIR lib/corvex/plugins)
set(TARNWICKSS_INSTALL_SDKDIR lib/tarnwickss)
set(TARNWICKSS_INSTALL_CONFDIR share/tarnwickss/conf)
set(TARNWICKSS_INSTALL_DOCDIR share/doc/tarnwickss)
set(TARNWICKSS_INSTALL_TOOLS_DOCDIR share/doc/tarnwickss-tools)

file(RELATIVE_PATH plugin_from_bin /${TARNWICKSS_INSTALL_BINDIR} /${TARNWICKSS_INSTALL_PLUGINDIR}/tarnwickss.so)
file(RELATIVE_PATH sdk_from_plugin /${TARNWICKSS_INSTALL_PLUGINDIR} /${TARNWICKSS_INSTALL_SDKDIR})
file(RELATIVE_PATH sdk_from_bin /${TARNWICKSS_INSTALL_BINDIR} /${TARNWICKSS_INSTALL_SDKDIR})

# An installed corvex-host loads the installed plugin by default.
target_compile_definitions(corvex-host PRIVATE CORVEX_HOST_PLUGIN_INSTALLED="${plugin_from_bin}")

set_target_properties(tarnwickss PROPERTIES INSTALL_RPATH "\$ORIGIN/${sdk_from_plugin}")
set_target_properties(tarnwickss-speech-service PROPERTIES INSTALL_RPATH "\$ORIGIN/${sdk_from_bin}")
set_target_properties(corvex-host PROPERTIES INSTALL_RPATH "\$ORIGIN/${sdk_from_bin}")

install(TARGETS tarnwickss LIBRARY DESTINATION ${TARNWICKSS_INSTALL_PLUGINDIR} COMPONENT tarnwickss)
install(TARGETS Brillify LIBRARY DESTINATION ${TARNWICKSS_INSTALL_SDKDIR} COMPONENT tarnwickss)
install(FILES conf/tarnwickss.xml conf/credentials.json DESTINATION ${TARNWICKSS_INSTALL_CONFDIR}
        COMPONENT tarnwickss)
install(FILES README.md DESTINATION ${TARNWICKSS_INSTALL_DOCDIR} COMPONENT tarnwickss)

install(TARGETS corvex-host tarnwickss-speech-service RUNTIME DESTINATION ${TARNWICKSS_INSTALL_BINDIR}
        COMPONENT tools)
# No other package links libcorvexserver (a server brings its own), so it
# stays beside libBrillify instead of being a versioned public library.
install(TARGETS corvexserver LIBRARY DESTINATION ${TARNWICKSS_INSTALL_SDKDIR} COMPONENT tools)

# Each package's copyright and changelog, the changelog compressed as Debian
# wants it (gzip -9n: no name or time stamp, so builds are reproducible).
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^tarnwickss \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog begins with '${changelog_top}', not version ${PROJECT_VERSION}")
endif()
set(package_doc_dir ${PROJECT_BINARY_DIR}/debian)
add_custom_command(OUTPUT ${package_doc_dir}/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${package_doc_dir}/changelog
                   COMMAND gzip -9n -f ${package_doc_dir}/changelog
                   DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
set(package_docs ${package_doc_dir}/changelog.gz)
install(FILES cmake/debian/copyright ${package_doc_dir}/changelog.gz DESTINATION ${TARNWICKSS_INSTALL_DOCDIR}
        COMPONENT tarnwickss)
install(FILES cmake/debian/copyright ${package_doc_dir}/changelog.gz DESTINATION ${TARNWICKSS_INSTALL_TOOLS_DOCDIR}
        COMPONENT tools)

# Manual pages made from the programs' --help (help2man, from scripts/setup).
# corvex-host names its default plugin by where this build put it; the page
# names where the package puts it (the page escapes hyphens for roff).
find_program(HELP2MAN help2man)
get_target_property(plugin_built_dir tarnwickss BINARY_DIR)
string(REPLACE "-" "\\\\-" plugin_built_pattern "${plugin_built_dir}/tarnwickss.so")
function(tarnwickss_manual_page program summary)
  set(page ${package_doc_dir}/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --name=${summary} --output=${page}
            $<TARGET_FILE:${program}>
    COMMAND sed -i -e "s|${plugin_built_pattern}|/usr/${TARNWICKSS_INSTALL_PLUGINDIR}/tarnwickss.so|g" ${page}
    COMMAND gzip -9n -f ${page}
    DEPENDS ${program} VERBATIM)
  install(FILES ${page}.gz DESTINATION ${TARNWICKSS_INSTALL_MANDIR} COMPONENT tools)
  set(package_docs ${package_docs} ${page}.gz PARENT_SCOPE)
endfunction()
if(HELP2MAN)
  tarnwickss_manual_page(corvex-host "command-line MRCP host for the tarnwickss plugin")
  tarnwickss_manual_page(tarnwickss-speech-service "local speech service for the tarnwickss plugin")
else()
  message(WARNING "help2man not found: the packages will lack manual pages (scripts/setup installs it)")
endif()
add_custom_target(package-docs ALL DEPENDS ${package_docs})

# --- Debian packages ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwickss)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TARNWICKSS maintainers <maintainers@tarnwickss.org>")
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
