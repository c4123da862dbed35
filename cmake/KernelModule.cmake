# add_kernel_module(<target> SOURCES <files...>)
#
# Builds a loadable module for the simulated (and live) kernel: a shared
# object written in freestanding C++ against kernel/include only.  No C++
# runtime, no libc, no exceptions or RTTI, no guarded statics; every symbol is
# hidden except the loader's entry points (init_module, cleanup_module,
# __module_layout).  Kernel facilities stay undefined until the loader binds
# them to the running kernel.
function(add_kernel_module target)
  cmake_parse_arguments(KM "" "" "SOURCES" ${ARGN})
  add_library(${target} MODULE ${KM_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${PELK_KERNEL_INCLUDE})
  target_compile_options(${target} PRIVATE ${PELK_WARNINGS}
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-gnu-unique -fno-stack-protector -fno-builtin -nostdinc -nostdinc++
    -fno-asynchronous-unwind-tables -fno-unwind-tables -mgeneral-regs-only)
  # -Bsymbolic: the module's references to itself never bind elsewhere.
  target_link_options(${target} PRIVATE -nostdlib -Wl,-Bsymbolic)
endfunction()
