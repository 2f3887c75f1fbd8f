# For the people who build on the daemon and ship it: the manual pages, the
# bash completion of korvanectl and the Python module `korvane`, with their
# tests and install rules. Included from the top CMakeLists.txt after the
# install rules of the daemon.

# The module is installed for the system's interpreter, so that is the one
# the tests use too (another on PATH, say in root's home, may not even be
# reachable by the user who runs the suite).
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 COMPONENTS Interpreter)

# ---------------------------------------------------------------------------
# Manual pages, from scdoc sources. Built into <build>/man; installed
# gzip-compressed, as Debian ships them. Section 3 documents the client
# library and goes with its headers (component dev); the others with the
# daemon.
# ---------------------------------------------------------------------------
find_program(VK_SCDOC scdoc)
find_program(VK_GZIP gzip)
set(VK_MAN_PAGES veskkorvaned.8 korvanectl.1 korvane.3 korvane-notify.1)
set(VK_MAN_DIR ${PROJECT_BINARY_DIR}/man)
if(VK_SCDOC)
    set(vk_man_outputs)
    foreach(page IN LISTS VK_MAN_PAGES)
        set(src ${PROJECT_SOURCE_DIR}/docs/man/${page}.scd)
        set(out ${VK_MAN_DIR}/${page})
        string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
        set(component service)
        if(section STREQUAL "3")
            set(component dev)
        elseif(page STREQUAL "korvane-notify.1")
            set(component notify)
        endif()
        if(VK_GZIP)
            add_custom_command(OUTPUT ${out} ${out}.gz
                COMMAND ${CMAKE_COMMAND} -E make_directory ${VK_MAN_DIR}
                COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${VK_SCDOC} ${src} ${out}
                COMMAND sh -c "\"$0\" -9 -n -c \"$1\" > \"$1.gz\"" ${VK_GZIP} ${out}
                DEPENDS ${src} VERBATIM COMMENT "Manual page ${page}")
            install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
                    COMPONENT ${component})
            list(APPEND vk_man_outputs ${out} ${out}.gz)
        else()
            add_custom_command(OUTPUT ${out}
                COMMAND ${CMAKE_COMMAND} -E make_directory ${VK_MAN_DIR}
                COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${VK_SCDOC} ${src} ${out}
                DEPENDS ${src} VERBATIM COMMENT "Manual page ${page}")
            install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
                    COMPONENT ${component})
            list(APPEND vk_man_outputs ${out})
        endif()
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${vk_man_outputs})
else()
    message(STATUS "scdoc not found (Debian package scdoc): the manual pages are not built")
endif()

if(VK_BUILD_TESTS AND Python3_Interpreter_FOUND)
    # Exit status 77: skipped (no pages built, nothing to render them with).
    add_test(NAME man_pages
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/man/test_man.py)
    set_tests_properties(man_pages PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS man
        ENVIRONMENT
        "VK_MAN_DIR=${VK_MAN_DIR};VK_KORVANECTL=$<TARGET_FILE:korvanectl>;VK_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endif()

# ---------------------------------------------------------------------------
# Bash completion of korvanectl.
# ---------------------------------------------------------------------------
install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvanectl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME korvanectl COMPONENT service)

if(VK_BUILD_TESTS AND Python3_Interpreter_FOUND)
    add_test(NAME korvanectl_completion
             COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/completion/test_completion.py)
    set_tests_properties(korvanectl_completion PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
        LABELS completion ENVIRONMENT
        "VK_COMPLETION=${PROJECT_SOURCE_DIR}/packaging/korvanectl.bash-completion;VK_KORVANECTL=$<TARGET_FILE:korvanectl>")
endif()

# ---------------------------------------------------------------------------
# The Python module `korvane`: its sources copied into <build>/python/korvane
# beside codes.py, which is generated from korvane_codes.h so that the
# numbers have one definition. The tests import it from there.
# ---------------------------------------------------------------------------
set(VK_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
    "Directory of the Python module korvane, relative to the install prefix")
set(VK_PYTHON_MODULE ${Python3_Interpreter_FOUND} CACHE INTERNAL "Whether korvane is built")
if(Python3_Interpreter_FOUND)
    set(vk_py_out ${PROJECT_BINARY_DIR}/python/korvane)
    file(GLOB vk_py_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/korvane/*.py)
    set(vk_py_outputs)
    foreach(src IN LISTS vk_py_sources)
        get_filename_component(file ${src} NAME)
        add_custom_command(OUTPUT ${vk_py_out}/${file}
            COMMAND ${CMAKE_COMMAND} -E copy ${src} ${vk_py_out}/${file}
            DEPENDS ${src} VERBATIM)
        list(APPEND vk_py_outputs ${vk_py_out}/${file})
    endforeach()
    add_custom_command(OUTPUT ${vk_py_out}/codes.py
        COMMAND ${CMAKE_COMMAND} -E make_directory ${vk_py_out}
        COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/python/gen_codes.py
                ${PROJECT_SOURCE_DIR}/src/base/korvane_codes.h ${vk_py_out}/codes.py
        DEPENDS ${PROJECT_SOURCE_DIR}/python/gen_codes.py
                ${PROJECT_SOURCE_DIR}/src/base/korvane_codes.h
        VERBATIM COMMENT "Python constants from korvane_codes.h")
    list(APPEND vk_py_outputs ${vk_py_out}/codes.py)
    add_custom_target(python_korvane ALL DEPENDS ${vk_py_outputs})
    install(FILES ${vk_py_outputs} DESTINATION ${VK_PYTHON_DIR}/korvane COMPONENT python)
    # Its guide, the protocol it links to, and the example front UI, beside
    # the package's other docs.
    install(FILES ${PROJECT_SOURCE_DIR}/docs/python.md ${PROJECT_SOURCE_DIR}/docs/protocol.md
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-korvane COMPONENT python)
    install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/python/front_ui.py
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-korvane/examples COMPONENT python)

    if(VK_BUILD_TESTS)
        add_test(NAME python_korvane
                 COMMAND ${Python3_EXECUTABLE} -m unittest discover -v
                         -s ${PROJECT_SOURCE_DIR}/tests/python -p "test_*.py")
        set_tests_properties(python_korvane PROPERTIES TIMEOUT 300 LABELS python ENVIRONMENT
            "PYTHONPATH=${PROJECT_BINARY_DIR}/python;PYTHONDONTWRITEBYTECODE=1;VK_DAEMON=$<TARGET_FILE:veskkorvaned>;VK_CODES_H=${PROJECT_SOURCE_DIR}/src/base/korvane_codes.h;VK_CC=${CMAKE_C_COMPILER};VK_SOURCE_DIR=${PROJECT_SOURCE_DIR};VK_VERSION=${PROJECT_VERSION}")
    endif()
else()
    message(STATUS "python3 not found: the Python module korvane is not built")
endif()
