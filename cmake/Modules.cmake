# The daemon is built as layers, one static library each, declared lowest
# first. A layer links only layers declared before it, and its sources and
# headers may include only the layers it links (directly or through them):
# the check target below fails the build on any other include.
# Warnings are errors in the project's own code; packagers on a newer
# compiler, which may warn about more, turn that off with -DVK_WERROR=OFF.
option(VK_WERROR "Treat the compiler's warnings as errors" ON)
function(vk_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wformat=2)
    # Not in the tests: GoogleTest's INSTANTIATE_TEST_SUITE_P names the
    # parameter of its generated function `info`, as the name generators of
    # the tests do.
    get_target_property(dir ${target} SOURCE_DIR)
    if(NOT dir MATCHES "/tests(/|$)")
        target_compile_options(${target} PRIVATE -Wshadow)
    endif()
    if(VK_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# vk_layer(vk_NAME DIR src/dir [EXCLUDE file...] DEPS target...)
# The library vk_NAME of the .cpp files directly inside DIR, less EXCLUDE.
# DEPS may name only layers declared earlier, and other libraries.
function(vk_layer name)
    cmake_parse_arguments(M "" "DIR" "EXCLUDE;DEPS" ${ARGN})
    string(REGEX REPLACE "^vk_" "" layer ${name})
    set(may ${layer})
    foreach(dep IN LISTS M_DEPS)
        if(dep MATCHES "^vk_")
            string(REGEX REPLACE "^vk_" "" below ${dep})
            get_property(below_may GLOBAL PROPERTY VK_LAYER_MAY_${below})
            if(NOT below_may)
                message(FATAL_ERROR "${name} links ${dep}, which is not a layer declared before it")
            endif()
            list(APPEND may ${below_may})
        endif()
    endforeach()
    list(REMOVE_DUPLICATES may)
    set_property(GLOBAL PROPERTY VK_LAYER_MAY_${layer} ${may})
    set_property(GLOBAL APPEND PROPERTY VK_LAYERS ${layer})
    set_property(GLOBAL PROPERTY VK_LAYER_DIR_${layer} ${M_DIR})

    file(GLOB srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${M_DIR}/*.cpp)
    foreach(f IN LISTS M_EXCLUDE)
        list(REMOVE_ITEM srcs ${PROJECT_SOURCE_DIR}/${M_DIR}/${f})
    endforeach()
    if(srcs)
        add_library(${name} STATIC ${srcs})
        target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} PUBLIC ${M_DEPS})
        target_compile_definitions(${name} PUBLIC VK_VERSION="${PROJECT_VERSION}")
        vk_warnings(${name})
        add_dependencies(${name} vk_layer_check)
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${M_DEPS})
        target_compile_definitions(${name} INTERFACE VK_VERSION="${PROJECT_VERSION}")
    endif()
endfunction()

# vk_layer_includes(NAME DIR dir MAY layer...)
# Also checks the sources and headers under DIR (recursively), which are no
# layer of src/ (the tools), against the layers listed in MAY.
function(vk_layer_includes name)
    cmake_parse_arguments(M "" "DIR" "MAY" ${ARGN})
    set_property(GLOBAL APPEND PROPERTY VK_LAYER_USERS ${name})
    set_property(GLOBAL PROPERTY VK_LAYER_DIR_${name} ${M_DIR})
    set_property(GLOBAL PROPERTY VK_LAYER_MAY_${name} ${name} ${M_MAY})
endfunction()

# The target every layer library waits for: cmake/LayerCheck.cmake over
# every file of every layer, run again whenever one of them changes.
function(vk_layer_check_target)
    get_property(layers GLOBAL PROPERTY VK_LAYERS)
    get_property(users GLOBAL PROPERTY VK_LAYER_USERS)
    set(defs "set(VK_LAYERS ${layers})\nset(VK_LAYER_USERS ${users})\n")
    set(files "")
    foreach(layer IN LISTS layers users)
        get_property(dir GLOBAL PROPERTY VK_LAYER_DIR_${layer})
        get_property(may GLOBAL PROPERTY VK_LAYER_MAY_${layer})
        string(APPEND defs "set(VK_LAYER_DIR_${layer} ${dir})\nset(VK_LAYER_MAY_${layer} ${may})\n")
        if(layer IN_LIST layers)
            file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp
                 ${PROJECT_SOURCE_DIR}/${dir}/*.h)
        else()
            file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp
                 ${PROJECT_SOURCE_DIR}/${dir}/*.h)
        endif()
        list(APPEND files ${found})
    endforeach()
    # Files under src/ outside every layer are reported too.
    file(GLOB_RECURSE all CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.cpp
         ${PROJECT_SOURCE_DIR}/src/*.h)
    list(APPEND files ${all})
    list(REMOVE_DUPLICATES files)
    set(defs_file ${PROJECT_BINARY_DIR}/vk_layers.cmake)
    file(GENERATE OUTPUT ${defs_file} CONTENT "${defs}")
    set(stamp ${PROJECT_BINARY_DIR}/vk_layer_check.stamp)
    add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -DVK_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DVK_LAYERS_FILE=${defs_file}
                -P ${PROJECT_SOURCE_DIR}/cmake/LayerCheck.cmake
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${files} ${defs_file} ${PROJECT_SOURCE_DIR}/cmake/LayerCheck.cmake
        COMMENT "Checking the includes of every layer"
        VERBATIM)
    add_custom_target(vk_layer_check ALL DEPENDS ${stamp})
endfunction()
