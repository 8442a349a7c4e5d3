# Writes the digests of the shipped companions into a header for the main
# program, which hands jobs straight to the render service only when the
# companions it finds are these: the launcher (ps/rwrender, and pdftk.exe,
# a hard link to it) as built, and the converter script with the values of
# its setting lines left out (a user may change those).
# cmake -DLAUNCHER=... -DSCRIPT=... -DOUTPUT=... -P CompanionDigests.cmake
file(SHA256 "${LAUNCHER}" launcher)
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
file(SIZE "${LAUNCHER}" launcherSize)
set(text "// Written by cmake/CompanionDigests.cmake.\n#pragma once\n#define RW_SHIPPED_LAUNCHER_SHA256 \"${launcher}\"\n#define RW_SHIPPED_LAUNCHER_SIZE ${launcherSize}\n#define RW_SHIPPED_SCRIPT_SHA256 \"${scriptDigest}\"\n")
# Left alone when unchanged, so that nothing is compiled again.
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
