# Generated register maps: runs tools/regmapgen/regmapgen.py at build time.
#
# kelvo_generate_regmaps(<target> OUTPUT_DIR <dir> DESCRIPTIONS <file>... [SEARCH <file-or-folder>...]
#                        [LAYOUT_DIR <dir> LAYOUT_TARGET <name>])
# generates <dir>/regmaps/<stem>.h and .cpp for each description, adds the
# sources to <target> and <dir> to its include path. With LAYOUT_DIR it also
# writes <layout dir>/reglayouts/<stem>.h (offsets and masks as plain
# constants) and makes the custom target LAYOUT_TARGET that builds them. SEARCH names further
# descriptions the generator reads to resolve sub-map classes. The generator
# rewrites an output only when its text changes, so editing one description
# recompiles only what its text reaches.
find_package(Python3 3.11 REQUIRED COMPONENTS Interpreter)  # tomllib

function(kelvo_generate_regmaps target)
  cmake_parse_arguments(RG "" "OUTPUT_DIR;LAYOUT_DIR;LAYOUT_TARGET" "DESCRIPTIONS;SEARCH" ${ARGN})
  set(generator ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/regmapgen.py)
  set(generator_modules)
  foreach(module IN ITEMS model load check emit)
    list(APPEND generator_modules ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${module}.py)
  endforeach()
  set(readable ${RG_DESCRIPTIONS})
  set(search_args)
  foreach(path IN LISTS RG_SEARCH)
    list(APPEND search_args --search ${path})
    if(IS_DIRECTORY ${path})
      file(GLOB found CONFIGURE_DEPENDS ${path}/*.toml)
      list(APPEND readable ${found})
    else()
      list(APPEND readable ${path})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES readable)
  set(outputs)
  set(sources)
  set(layouts)
  set(layout_args)
  if(RG_LAYOUT_DIR)
    set(layout_args --layout-dir ${RG_LAYOUT_DIR})
  endif()
  foreach(description IN LISTS RG_DESCRIPTIONS)
    get_filename_component(stem ${description} NAME_WE)
    list(APPEND outputs ${RG_OUTPUT_DIR}/regmaps/${stem}.h ${RG_OUTPUT_DIR}/regmaps/${stem}.cpp)
    list(APPEND sources ${RG_OUTPUT_DIR}/regmaps/${stem}.cpp)
    if(RG_LAYOUT_DIR)
      list(APPEND layouts ${RG_LAYOUT_DIR}/reglayouts/${stem}.h)
    endif()
  endforeach()
  # One run for all of the target's maps: each run reads every description it
  # may need, so a run per map would read them all once per map.
  add_custom_command(
    OUTPUT ${outputs} ${layouts}
    COMMAND ${Python3_EXECUTABLE} ${generator} --output-dir ${RG_OUTPUT_DIR} ${layout_args} ${search_args}
            ${RG_DESCRIPTIONS}
    DEPENDS ${readable} ${generator} ${generator_modules}
    COMMENT "Generating register maps for ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${outputs})
  # Generated maps are kernel code wherever they are built.
  set_source_files_properties(${sources} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "${KELVO_KERNEL_CXX_FLAGS}")
  target_include_directories(${target} PUBLIC ${RG_OUTPUT_DIR})
  if(RG_LAYOUT_DIR)
    add_custom_target(${RG_LAYOUT_TARGET} DEPENDS ${layouts})
  endif()
endfunction()
