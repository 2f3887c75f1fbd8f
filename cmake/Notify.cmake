# korvane-notify, the desktop session agent: its core as a library (for the
# tests), the program, its message catalogues and its systemd user unit.
include(GNUInstallDirs)

file(GLOB VK_NOTIFY_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/korvane-notify/*.cpp)
add_library(vk_notify STATIC ${VK_NOTIFY_SOURCES})
target_include_directories(vk_notify PUBLIC ${PROJECT_SOURCE_DIR}/tools)
target_link_libraries(vk_notify PUBLIC PkgConfig::SYSTEMD)
vk_warnings(vk_notify)

add_executable(korvane-notify ${PROJECT_SOURCE_DIR}/tools/korvane-notify.cpp)
target_link_libraries(korvane-notify PRIVATE vk_notify)
target_compile_definitions(korvane-notify PRIVATE VK_VERSION="${PROJECT_VERSION}"
                           VK_LOCALEDIR="${CMAKE_INSTALL_FULL_LOCALEDIR}")
vk_warnings(korvane-notify)
install(TARGETS korvane-notify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT notify)

# The catalogues, po/<language>.po, compiled into
# <build>/locale/<language>/LC_MESSAGES/korvane-notify.mo (what
# KORVANE_NOTIFY_LOCALEDIR=<build>/locale finds) and installed under
# the locale directory. Without msgfmt the agent speaks English.
find_program(VK_MSGFMT msgfmt)
set(VK_NOTIFY_LOCALE_DIR ${PROJECT_BINARY_DIR}/locale)
if(VK_MSGFMT)
    file(GLOB VK_NOTIFY_PO CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/po/*.po)
    set(mos "")
    foreach(po IN LISTS VK_NOTIFY_PO)
        get_filename_component(lang ${po} NAME_WE)
        set(mo ${VK_NOTIFY_LOCALE_DIR}/${lang}/LC_MESSAGES/korvane-notify.mo)
        add_custom_command(OUTPUT ${mo}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${VK_NOTIFY_LOCALE_DIR}/${lang}/LC_MESSAGES
            COMMAND ${VK_MSGFMT} --check -o ${mo} ${po}
            DEPENDS ${po} VERBATIM COMMENT "Catalogue ${lang} of korvane-notify")
        install(FILES ${mo} DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${lang}/LC_MESSAGES
                COMPONENT notify)
        list(APPEND mos ${mo})
    endforeach()
    add_custom_target(korvane_notify_catalogues ALL DEPENDS ${mos})
else()
    message(STATUS "msgfmt not found: korvane-notify is built without translations")
endif()

# The autostart entry belongs in /etc/xdg/autostart whatever the prefix:
# the Debian package takes it from the source tree (debian/korvane-notify.install),
# as it does the configuration files; `cmake --install` leaves it out.
vk_install_unit(korvane-notify.service BINDIR ${CMAKE_INSTALL_BINDIR}
                UNIT_DIR lib/systemd/user COMPONENT notify)
