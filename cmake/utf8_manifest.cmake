# vexholt_utf8_manifest(target): embeds windows/utf8.manifest in a Windows
# executable. The manifest sets the process's code page to UTF-8, so narrow
# arguments and narrow file names (fopen, _sopen_s) take any Unicode name
# instead of only those the ANSI code page can spell. It takes effect from
# Windows 10 version 1903; only an executable's manifest counts, so every
# program that runs (tools, tests) needs its own. No effect elsewhere.
set(VEXHOLT_UTF8_MANIFEST ${PROJECT_SOURCE_DIR}/windows/utf8.manifest)
if(WIN32 AND NOT MSVC)
    # MinGW links no manifest of its own: windres puts ours in as the
    # executable's RT_MANIFEST resource 1.
    enable_language(RC)
    set(VEXHOLT_UTF8_RC ${PROJECT_BINARY_DIR}/utf8_manifest.rc)
    file(CONFIGURE OUTPUT ${VEXHOLT_UTF8_RC}
         CONTENT "1 24 \"${VEXHOLT_UTF8_MANIFEST}\"\n")
endif()

function(vexholt_utf8_manifest target)
    if(MSVC)
        # The linker merges a .manifest source into the one it embeds.
        target_sources(${target} PRIVATE ${VEXHOLT_UTF8_MANIFEST})
    elseif(WIN32)
        target_sources(${target} PRIVATE ${VEXHOLT_UTF8_RC})
        set_source_files_properties(${VEXHOLT_UTF8_RC} TARGET_DIRECTORY ${target}
            PROPERTIES OBJECT_DEPENDS ${VEXHOLT_UTF8_MANIFEST})
    endif()
endfunction()
