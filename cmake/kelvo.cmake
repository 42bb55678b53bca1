# Flags that make the driver fit for a kernel, for every driver library (and
# nothing else: tests and the stand-in keep the host's defaults).
#  - no exceptions, no RTTI, no thread-safe statics (no __cxa_guard_*), no
#    unwind tables, no stack protector (no hosted runtime behind them);
#  - general registers only: a kernel does not save the floating-point and
#    vector registers for its own code, so the driver must not touch them
#    (no float arithmetic, no vectorised loops, no vector saves in vararg
#    prologues); no red zone (interrupts run on the same stack);
#  - no loops turned into library calls (a hand-written length loop must not
#    become strlen): the kernel layer offers no C library. Inline builtins stay
#    (a blanket -ffreestanding or -fno-builtin would make small fixed-size
#    copies out-of-line calls).
# tests/symbols/check_symbols.py checks the result on the built archives.
set(KELVO_KERNEL_REGISTER_FLAGS -mgeneral-regs-only -mno-red-zone)
set(KELVO_KERNEL_CXX_FLAGS
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-stack-protector
    ${KELVO_KERNEL_REGISTER_FLAGS})
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # Loop distribution would turn copy, fill and length loops into memcpy,
  # memset and strlen calls.
  list(APPEND KELVO_KERNEL_CXX_FLAGS -fno-tree-loop-distribute-patterns)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # clang's loop-idiom pass does the same; it forms only calls the target
  # library offers, so these are taken off its list (the __builtin_ forms and
  # the compiler's own copies of structures stay inline). An equality test of
  # memcmp would otherwise become bcmp, which the kernel layer lacks.
  list(APPEND KELVO_KERNEL_CXX_FLAGS -fno-builtin-memset -fno-builtin-memcpy -fno-builtin-memmove
       -fno-builtin-strlen -fno-builtin-bcmp)
else()
  message(FATAL_ERROR "kernel flags are known for GCC and clang only, not ${CMAKE_CXX_COMPILER_ID}")
endif()

# Collects the sources below a folder (new files are picked up at the next build).
function(kelvo_glob out)
  file(GLOB_RECURSE _files CONFIGURE_DEPENDS ${ARGN})
  list(SORT _files)
  set(${out} ${_files} PARENT_SCOPE)
endfunction()

# kelvo_layer_probe(<unit> <target> <header> [SEES <unit>...])
# Enters a unit into the layer check (tests/layers/check_layers.py): one of its
# headers as others spell it, the units it may include, and the include path
# its target is really built with. The check preprocesses every unit's header
# with every other unit's path: it must be found exactly where it is allowed.
function(kelvo_layer_probe unit target header)
  cmake_parse_arguments(P "" "" "SEES" ${ARGN})
  get_target_property(type ${target} TYPE)
  set(property INCLUDE_DIRECTORIES)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(property INTERFACE_INCLUDE_DIRECTORIES)
  endif()
  set(sees -)
  if(P_SEES)
    list(JOIN P_SEES "," sees)
  endif()
  set_property(GLOBAL APPEND PROPERTY KELVO_LAYER_PROBES
               "${unit} ${header} ${sees} $<JOIN:$<TARGET_PROPERTY:${target},${property}>, >")
endfunction()

# Writes the layer check's file: one line per unit entered, "<unit> <header>
# <units it may include, ',' between, or -> <include folder>...".
function(kelvo_write_layer_probes file)
  get_property(lines GLOBAL PROPERTY KELVO_LAYER_PROBES)
  list(JOIN lines "\n" text)
  file(GENERATE OUTPUT ${file} CONTENT "${text}\n")
endfunction()
