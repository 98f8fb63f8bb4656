# Warnings for our own targets; the build stays clean at -Wall -Wextra -Wpedantic.
function(trestan_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(TRESTAN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# fmt and spdlog come from Debian's packages, or, with TRESTAN_HEADER_ONLY_DEPS, from unpacked headers
# used header-only (to check the code against another fmt and spdlog release).
macro(trestan_find_dependencies)
    if(TRESTAN_HEADER_ONLY_DEPS)
        add_library(trestan_fmt INTERFACE)
        target_include_directories(trestan_fmt SYSTEM INTERFACE "${TRESTAN_HEADER_ONLY_DEPS}/include")
        target_compile_definitions(trestan_fmt INTERFACE FMT_HEADER_ONLY)
        add_library(fmt::fmt ALIAS trestan_fmt)
        add_library(trestan_spdlog INTERFACE)
        target_link_libraries(trestan_spdlog INTERFACE trestan_fmt)
        target_compile_definitions(trestan_spdlog INTERFACE SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL)
        add_library(spdlog::spdlog ALIAS trestan_spdlog)
        find_package(Threads REQUIRED)
        target_link_libraries(trestan_spdlog INTERFACE Threads::Threads)
    else()
        find_package(fmt REQUIRED)
        find_package(spdlog REQUIRED)
    endif()
    find_package(Boost REQUIRED COMPONENTS locale)
endmacro()

set(TRESTAN_PLUGIN_VERSION_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/plugin.map")

# Builds a format plugin as a MODULE with hidden visibility into the plugin directory:
#   trestan_add_plugin(gatan SOURCES a.cpp b.cpp)
# The shared object is named libtrestan-<name>.so; only its plugin object is exported.
function(trestan_add_plugin name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    set(target trestan-${name})
    add_library(${target} MODULE ${ARG_SOURCES})
    set_target_properties(${target} PROPERTIES
        PREFIX "lib"
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LIBRARY_OUTPUT_DIRECTORY "${TRESTAN_PLUGIN_OUTPUT_DIRECTORY}"
        INSTALL_RPATH "$ORIGIN/../..")
    target_link_libraries(${target} PRIVATE trestan_plugin_support ${ARG_LIBRARIES})
    target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--exclude-libs,ALL
        "-Wl,--version-script=${TRESTAN_PLUGIN_VERSION_SCRIPT}")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${TRESTAN_PLUGIN_VERSION_SCRIPT}")
    trestan_set_warnings(${target})
    install(TARGETS ${target} LIBRARY DESTINATION "${TRESTAN_PLUGIN_SUBDIR}")
endfunction()
