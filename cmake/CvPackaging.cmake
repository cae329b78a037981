# Debian packages, made by scripts/package with CPack:
#   corvane-deployer          Deployer and libCvLibNav5.so together in /usr/lib/corvane-deployer/
#                             (the program finds its library beside it), cvtool beside them, the
#                             commands corvane-deployer and cvtool in /usr/bin, a desktop entry,
#                             hicolor icons, AppStream metadata and manual pages.
#   corvane-deployer-service  deployer-service (with the demo setup it builds its demo catalogue
#                             from) in /usr/lib/corvane-deployer-service/, the sample content, a
#                             systemd unit and its manual page.
# Each target installs itself in its own CMakeLists (component deployer or service); this file
# adds what belongs to the packages as a whole. Dependencies come from the binaries (shlibdeps).
set(CV_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(CV_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(CV_APP_ID com.corvane.deployer)

# The commands in /usr/bin are links to the programs beside their libraries; a program reads
# its own folder through /proc/self/exe, which names the link's target.
file(MAKE_DIRECTORY ${CV_PACKAGING_OUT}/bin)
file(CREATE_LINK ../lib/corvane-deployer/Deployer ${CV_PACKAGING_OUT}/bin/corvane-deployer SYMBOLIC)
file(CREATE_LINK ../lib/corvane-deployer/cvtool ${CV_PACKAGING_OUT}/bin/cvtool SYMBOLIC)
file(CREATE_LINK ../lib/corvane-deployer-service/deployer-service ${CV_PACKAGING_OUT}/bin/deployer-service SYMBOLIC)
install(FILES ${CV_PACKAGING_OUT}/bin/corvane-deployer ${CV_PACKAGING_OUT}/bin/cvtool DESTINATION bin COMPONENT deployer)
install(FILES ${CV_PACKAGING_OUT}/bin/deployer-service DESTINATION bin COMPONENT service)

# Manual pages and the changelog, compressed as Debian wants them.
set(_cv_gz)
foreach(src man/corvane-deployer.1 man/cvtool.1 man/deployer-service.1 changelog)
  get_filename_component(_name ${src} NAME)
  add_custom_command(OUTPUT ${CV_PACKAGING_OUT}/${_name}.gz
    COMMAND sh -c "gzip -9n -c '${CV_PACKAGING_DIR}/${src}' > '${CV_PACKAGING_OUT}/${_name}.gz'"
    DEPENDS ${CV_PACKAGING_DIR}/${src} VERBATIM)
  list(APPEND _cv_gz ${CV_PACKAGING_OUT}/${_name}.gz)
endforeach()
add_custom_target(cv_packaging_files ALL DEPENDS ${_cv_gz})

install(FILES ${CV_PACKAGING_OUT}/corvane-deployer.1.gz ${CV_PACKAGING_OUT}/cvtool.1.gz
  DESTINATION share/man/man1 COMPONENT deployer)
install(FILES ${CV_PACKAGING_OUT}/deployer-service.1.gz DESTINATION share/man/man1 COMPONENT service)
foreach(component_package deployer:corvane-deployer service:corvane-deployer-service)
  string(REPLACE ":" ";" _pair ${component_package})
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES ${CV_PACKAGING_DIR}/copyright ${CV_PACKAGING_OUT}/changelog.gz
    DESTINATION share/doc/${_package} COMPONENT ${_component})
endforeach()

# Desktop integration.
install(FILES ${CV_PACKAGING_DIR}/${CV_APP_ID}.desktop DESTINATION share/applications COMPONENT deployer)
install(FILES ${CV_PACKAGING_DIR}/${CV_APP_ID}.metainfo.xml DESTINATION share/metainfo COMPONENT deployer)
install(FILES ${CV_PACKAGING_DIR}/icons/48.png DESTINATION share/icons/hicolor/48x48/apps
  RENAME ${CV_APP_ID}.png COMPONENT deployer)
install(FILES ${CV_PACKAGING_DIR}/icons/256.png DESTINATION share/icons/hicolor/256x256/apps
  RENAME ${CV_APP_ID}.png COMPONENT deployer)
install(FILES ${CV_PACKAGING_DIR}/icons/${CV_APP_ID}.svg DESTINATION share/icons/hicolor/scalable/apps
  COMPONENT deployer)

# The service's unit.
install(FILES ${CV_PACKAGING_DIR}/deployer-service.service DESTINATION lib/systemd/system COMPONENT service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane-deployer)
set(CPACK_PACKAGE_VENDOR "Corvane Software")
set(CPACK_PACKAGE_CONTACT "Corvane Software <support@corvane.com>")
# A build with a key pair of its own makes packages for trying only: "~dev" says so and sorts
# before the release of the same version, which replaces it.
if(CV_UPDATE_DEVELOPMENT_KEY)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}~dev)
else()
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL deployer service)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.corvane.com/")
set(CPACK_DEBIAN_DEPLOYER_PACKAGE_NAME corvane-deployer)
set(CPACK_DEBIAN_DEPLOYER_PACKAGE_SECTION admin)
# Loaded at their first use (cvlib/CvLibCrypto.h, src/runs/CvZipLibrary.h, cvlib/CvLibNet.h:
# Qt Network), so that no binary names them for shlibdeps to find.
set(CPACK_DEBIAN_DEPLOYER_PACKAGE_DEPENDS "libssl3, libzip4, libqt6network6")
# Qt's Wayland platform; without it the wizard runs through XWayland.
set(CPACK_DEBIAN_DEPLOYER_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME corvane-deployer-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# systemd reads the unit again after an upgrade (restarting a running service) and a removal
# stops the service; nothing enables or starts it (docs/packaging.md).
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  "${CV_PACKAGING_DIR}/service-scripts/postinst;${CV_PACKAGING_DIR}/service-scripts/prerm;${CV_PACKAGING_DIR}/service-scripts/postrm")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_COMPONENT_DEPLOYER_DESCRIPTION "Corvane Software Installer, a setup wizard
Deployer signs in to a Corvane customer account, lists the programs and chart
products it holds, and installs them from the internet. It also writes an
installation backup to a folder or a removable drive, with its own copy of the
installer, and installs from such a backup without the internet.
.
The package holds the wizard (corvane-deployer), its support library and
cvtool, which runs the same installs, backups and restores unattended.")
if(CV_UPDATE_DEVELOPMENT_KEY)
  string(APPEND CPACK_COMPONENT_DEPLOYER_DESCRIPTION "
.
This is a development build, for trying only: it trusts updates signed with
the key of the machine that built it.")
endif()
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "Corvane Deployer reference account, package and update service
deployer-service serves the update server's protocol and the customer-account
and package service that Corvane Deployer signs in to, with a demo account.
It runs as a systemd service on 127.0.0.1:8470 under a dynamic user, its
content in /var/lib/deployer-service.")
include(CPack)
