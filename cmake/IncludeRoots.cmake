# rw_include_root(target)
# Gives a library target an include folder of its own that holds only its
# headers: build/include/<target>/<folder>/<name>.h, a link to the header in
# the sources. That folder is the target's PUBLIC include directory, so a
# target sees another's headers only when it links that target, and an
# include against the layers (convert/ including app/ or cli/) does not
# compile. Includes keep their paths from the source root
# ("platform/process.h").
function(rw_include_root target)
    set(root "${CMAKE_BINARY_DIR}/include/${target}")
    # Made afresh at each configure, so that a header no longer listed is gone.
    file(REMOVE_RECURSE "${root}")
    file(MAKE_DIRECTORY "${root}")
    get_target_property(sources ${target} SOURCES)
    foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.h$")
            continue()
        endif()
        get_filename_component(header "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        # Generated headers stay where they are made.
        file(RELATIVE_PATH fromBuild "${CMAKE_BINARY_DIR}" "${header}")
        if(NOT fromBuild MATCHES "^\\.\\./")
            continue()
        endif()
        file(RELATIVE_PATH name "${CMAKE_SOURCE_DIR}" "${header}")
        get_filename_component(folder "${root}/${name}" DIRECTORY)
        file(MAKE_DIRECTORY "${folder}")
        file(CREATE_LINK "${header}" "${root}/${name}" SYMBOLIC)
    endforeach()
    target_include_directories(${target} PUBLIC "${root}")
endfunction()
