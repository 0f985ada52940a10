# PROJ and GDAL are opened by name when the engine first needs them, not
# linked: linking loads their dozens of libraries at every start.

# The cache setting NAME (AUTO, ON or OFF), checked; upper-cased in OUT.
function(lidar_auto_on_off name doc out)
    set(${name} AUTO CACHE STRING "${doc}: AUTO, ON or OFF")
    set_property(CACHE ${name} PROPERTY STRINGS AUTO ON OFF)
    string(TOUPPER "${${name}}" mode)
    if(NOT mode MATCHES "^(AUTO|ON|OFF)$")
        message(FATAL_ERROR "${name} is AUTO, ON or OFF, not '${${name}}'")
    endif()
    set(${out} ${mode} PARENT_SCOPE)
endfunction()

# TARGET compiled against the headers of IMPORTED (empty where not found)
# and told, by LIDAR_HAVE_<WHAT> and LIDAR_<WHAT>_SONAME, which library to
# open; MODE ON makes a missing one fatal.
function(lidar_load_by_name target what mode imported soname debian_package found missing)
    if(imported)
        target_include_directories(${target} SYSTEM PRIVATE $<TARGET_PROPERTY:${imported},INTERFACE_INCLUDE_DIRECTORIES>)
        target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
        target_compile_definitions(${target} PRIVATE LIDAR_HAVE_${what} LIDAR_${what}_SONAME="${soname}")
        message(STATUS "${found}")
    elseif(mode STREQUAL "ON")
        message(FATAL_ERROR "LIDAR_WITH_${what} is ON but ${what} is not found (Debian: ${debian_package})")
    else()
        message(STATUS "${missing}")
    endif()
endfunction()
