# The embedded firmware images: tools/fwimage (a host program linked against
# liblz4) makes them and checks that every block decompresses to exactly its
# image; the generated assembly pulls the blocks in with .incbin.
#
# kelvo_embed_firmware_images(<target>): adds the images' object to <target>.
# (The project enables ASM for it.)
function(kelvo_embed_firmware_images target)
  if(NOT TARGET kelvo_fwimage)
    add_executable(kelvo_fwimage ${PROJECT_SOURCE_DIR}/tools/fwimage/fwimage.cpp)
    target_include_directories(kelvo_fwimage PRIVATE ${LZ4_INCLUDE_DIR})
    target_link_libraries(kelvo_fwimage PRIVATE ${LZ4_LIBRARY})
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/firmware_images)
  set(assembly ${dir}/firmware_images.S)
  add_custom_command(OUTPUT ${assembly}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                     COMMAND kelvo_fwimage ${dir}
                     DEPENDS kelvo_fwimage
                     COMMENT "Generating the embedded firmware images")
  # The object is assembled apart from the layer: the kernel C++ flags do not apply to it.
  add_library(${target}_firmware_images OBJECT ${assembly})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_firmware_images>)
endfunction()
