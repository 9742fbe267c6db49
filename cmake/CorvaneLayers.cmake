# One target per layer of the tree, each seeing only its own headers and
# those of the layers it links, so that an include running back up a layer
# fails to compile.
#
# Every header is included by its path from the top of the tree
# ("common/runtime/logger.h"), and the top of the tree would show every
# folder at once. So each layer gets an include root of its own in the
# build tree holding a single link to its folder: the root of
# corvane_common_runtime holds common/runtime and nothing else.
#
# Layers are object libraries; a program links their objects. CMake hands
# on an object library's usage requirements to whoever links it, but its
# object files only to targets that link it directly, so every layer
# records the object libraries below it (CORVANE_LAYER_OBJECTS) and
# corvane_link_layers links the whole stack.

# corvane_layer(TARGET FOLDER folder [LINKS layer...]) for a target made
# with add_library(TARGET OBJECT|INTERFACE ...): exposes the folder
# through the target's own include root and links the layers below.
function(corvane_layer target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "FOLDER" "LINKS")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        set(scope INTERFACE)
        set(objects "")
    else()
        set(scope PUBLIC)
        set(objects ${target})
        set_target_properties(${target} PROPERTIES
            POSITION_INDEPENDENT_CODE ON
            CXX_VISIBILITY_PRESET hidden
            VISIBILITY_INLINES_HIDDEN ON)
        corvane_set_warnings(${target})
    endif()

    set(root "${PROJECT_BINARY_DIR}/layers/${target}")
    get_filename_component(parent "${root}/${arg_FOLDER}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${arg_FOLDER}" "${root}/${arg_FOLDER}" SYMBOLIC)
    target_include_directories(${target} ${scope} "${root}")

    foreach(lower IN LISTS arg_LINKS)
        target_link_libraries(${target} ${scope} ${lower})
        # Targets that are no layer (the export macro, say) bring no objects.
        get_target_property(lower_objects ${lower} CORVANE_LAYER_OBJECTS)
        if(lower_objects)
            list(APPEND objects ${lower_objects})
        endif()
    endforeach()
    list(REMOVE_DUPLICATES objects)
    set_property(TARGET ${target} PROPERTY CORVANE_LAYER_OBJECTS "${objects}")
endfunction()

# corvane_link_layers(TARGET layer...): TARGET sees the layers' headers
# (and those below them) and links the objects of all of them. Once per
# target, naming every layer it needs: a second call would link objects
# twice.
function(corvane_link_layers target)
    get_target_property(linked ${target} CORVANE_LAYERS_LINKED)
    if(linked)
        message(FATAL_ERROR "corvane_link_layers(${target}) called twice: name all its layers in one call")
    endif()
    set_property(TARGET ${target} PROPERTY CORVANE_LAYERS_LINKED ON)
    set(direct ${ARGN})
    set(objects "")
    foreach(layer IN LISTS direct)
        target_link_libraries(${target} PRIVATE ${layer})
        get_target_property(layer_objects ${layer} CORVANE_LAYER_OBJECTS)
        list(APPEND objects ${layer_objects})
    endforeach()
    list(REMOVE_DUPLICATES objects)
    # The layers linked directly bring their objects already.
    list(REMOVE_ITEM objects ${direct})
    foreach(object IN LISTS objects)
        target_sources(${target} PRIVATE $<TARGET_OBJECTS:${object}>)
    endforeach()
endfunction()

# corvane_public_headers(DIRECTORY header...): links to the installed
# headers, at their installed paths, under DIRECTORY; programs of this tree
# built on the public API see exactly what an installed package shows.
function(corvane_public_headers directory)
    foreach(header IN LISTS ARGN)
        file(RELATIVE_PATH path "${PROJECT_SOURCE_DIR}" "${header}")
        get_filename_component(parent "${directory}/${path}" DIRECTORY)
        file(MAKE_DIRECTORY "${parent}")
        file(CREATE_LINK "${header}" "${directory}/${path}" SYMBOLIC)
    endforeach()
endfunction()
