# Flags that make the driver fit for a kernel: no exceptions, no RTTI,
# no thread-safe statics (no __cxa_guard_*), no unwind tables.
set(KELVO_KERNEL_CXX_FLAGS
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-stack-protector)

# Collects the sources below a folder (new files are picked up at the next build).
function(kelvo_glob out)
  file(GLOB_RECURSE _files CONFIGURE_DEPENDS ${ARGN})
  list(SORT _files)
  set(${out} ${_files} PARENT_SCOPE)
endfunction()
