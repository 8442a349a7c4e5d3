# Writes the digests of the shipped companions into a header for the main
# program, which hands jobs straight to the render service only when the
# companions it finds are these: the launcher (ps/rwrender, and pdftk.exe,
# a hard link to it) as built, and the converter script with the values of
# its setting lines left out (a user may change those).
# The package strips its programs (scripts/package.sh): the launcher
# stripped the same way counts as shipped too.
# cmake -DLAUNCHER=... -DSCRIPT=... -DOUTPUT=... [-DSTRIP=...] -P CompanionDigests.cmake
file(SHA256 "${LAUNCHER}" launcher)
file(SIZE "${LAUNCHER}" launcherSize)
set(stripped "${launcher}")
set(strippedSize ${launcherSize})
get_filename_component(outputFolder "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${outputFolder}")
if(STRIP)
    set(copy "${OUTPUT}.launcher")
    file(COPY_FILE "${LAUNCHER}" "${copy}")
    execute_process(COMMAND "${STRIP}" --remove-section=.comment --remove-section=.note "${copy}"
                    RESULT_VARIABLE failed)
    if(NOT failed)
        file(SHA256 "${copy}" stripped)
        file(SIZE "${copy}" strippedSize)
    endif()
    file(REMOVE "${copy}")
endif()
file(READ "${SCRIPT}" script)
# A setting line is NAME=<plain number>, maybe with blanks and a comment;
# it becomes "NAME=". Twice, for settings on neighbouring lines (each match
# takes the newline before and after it). Kept in step with
# normalisedConverterScript() in convert/directcompanions.cpp.
foreach(pass 1 2)
    string(REGEX REPLACE
        "\n(RESOLUTION|QUALITY|PAGE_TIME_LIMIT)=[0-9]+(\\.[0-9]*)?[ \t]*(#[^\n]*)?\n"
        "\n\\1=\n" script "${script}")
endforeach()
string(SHA256 scriptDigest "${script}")
set(text "// Written by cmake/CompanionDigests.cmake.\n#pragma once\n#define RW_SHIPPED_LAUNCHER_SHA256 \"${launcher}\"\n#define RW_SHIPPED_LAUNCHER_SIZE ${launcherSize}\n#define RW_SHIPPED_STRIPPED_LAUNCHER_SHA256 \"${stripped}\"\n#define RW_SHIPPED_STRIPPED_LAUNCHER_SIZE ${strippedSize}\n#define RW_SHIPPED_SCRIPT_SHA256 \"${scriptDigest}\"\n")
# Left alone when unchanged, so that nothing is compiled again.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
