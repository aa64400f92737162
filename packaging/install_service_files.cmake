# Installs the unit, the sysusers file and the logrotate snippet. Runs at
# install time (cmake --install, or cpack), where CMAKE_INSTALL_PREFIX is the
# prefix the files really land in; the variables ORQ_* are set just before
# by the build (packaging/CMakeLists.txt).
#
# Under /usr (every .deb) the unit and the user go where systemd looks and the
# snippet to /etc; under any other prefix they stay inside it, so that an
# install into a scratch prefix stays there. The unit's ExecStart names the
# agent in this prefix's binary directory.

if(IS_ABSOLUTE "${ORQ_INSTALL_BINDIR}")
  set(ORQ_AGENT_PATH "${ORQ_INSTALL_BINDIR}/vusk-debug-agent")
else()
  set(ORQ_AGENT_PATH "${CMAKE_INSTALL_PREFIX}/${ORQ_INSTALL_BINDIR}/vusk-debug-agent")
endif()
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(orq_systemd_libdir "/usr/lib")
  set(orq_etcdir "/etc")
else()
  set(orq_systemd_libdir "${CMAKE_INSTALL_PREFIX}/lib")
  set(orq_etcdir "${CMAKE_INSTALL_PREFIX}/${ORQ_INSTALL_SYSCONFDIR}")
endif()

configure_file("${ORQ_SERVICE_SOURCE_DIR}/vusk-debug-agent@.service" "${ORQ_SERVICE_STAGE_DIR}/vusk-debug-agent@.service"
  @ONLY)
file(INSTALL DESTINATION "${orq_systemd_libdir}/systemd/system" TYPE FILE
  FILES "${ORQ_SERVICE_STAGE_DIR}/vusk-debug-agent@.service")
file(INSTALL DESTINATION "${orq_systemd_libdir}/sysusers.d" TYPE FILE RENAME vusk.conf
  FILES "${ORQ_SERVICE_SOURCE_DIR}/vusk.sysusers")
file(INSTALL DESTINATION "${orq_etcdir}/logrotate.d" TYPE FILE RENAME vusk-debug-agent
  FILES "${ORQ_SERVICE_SOURCE_DIR}/vusk-debug-agent.logrotate")
