// The module's shared object must be loadable into a kernel: no C++ runtime,
// no global constructors, nothing from the C library beyond what the kernel
// itself provides under the same names.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct ModuleObject {
  std::vector<std::string> sections;
  std::vector<std::string> undefined;
  std::vector<std::string> defined;
};

ModuleObject read_object(const char *path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ModuleObject out;
  if (bytes.size() < sizeof(Elf64_Ehdr)) return out;
  const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(bytes.data());
  const auto *sh = reinterpret_cast<const Elf64_Shdr *>(bytes.data() + eh->e_shoff);
  const char *shstr = bytes.data() + sh[eh->e_shstrndx].sh_offset;
  for (int i = 0; i < eh->e_shnum; i++) {
    out.sections.push_back(shstr + sh[i].sh_name);
    if (sh[i].sh_type != SHT_DYNSYM) continue;
    const auto *sym = reinterpret_cast<const Elf64_Sym *>(bytes.data() + sh[i].sh_offset);
    const char *str = bytes.data() + sh[sh[i].sh_link].sh_offset;
    size_t n = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t j = 1; j < n; j++) {
      std::string name = str + sym[j].st_name;
      if (sym[j].st_shndx == SHN_UNDEF)
        out.undefined.push_back(name);
      else if (ELF64_ST_TYPE(sym[j].st_info) == STT_FUNC)
        out.defined.push_back(name);
    }
  }
  return out;
}

TEST(ModuleObject, NeedsNothingButKernelFacilities) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "a sanitized module calls into the sanitizer's runtime";
#endif
  ModuleObject m = read_object(PELK_MODULE_PATH);
  ASSERT_FALSE(m.sections.empty());
  for (const char *s : {".init_array", ".ctors", ".fini_array", ".dtors", ".eh_frame_hdr", ".gcc_except_table"})
    EXPECT_EQ(0, std::count(m.sections.begin(), m.sections.end(), s)) << s;
  for (const char *s : {"__param", "__modinfo"})
    EXPECT_EQ(1, std::count(m.sections.begin(), m.sections.end(), s)) << s;

  // C-library names that the kernel provides with the same meaning.
  const std::set<std::string> shared_with_libc = {"memcpy", "memmove", "memset", "memcmp", "strlen",
                                                  "strnlen", "strcmp", "strncmp", "strncpy"};
  // Every symbol it needs is bound to the kernel; the few that a C library
  // has too must be ones whose meaning is the same there.
  for (const auto &u : m.undefined) {
    EXPECT_NE(0u, u.rfind("_Z", 0)) << "C++ symbol needed: " << u;
    void *addr = dlsym(RTLD_DEFAULT, u.c_str());
    ASSERT_NE(nullptr, addr) << "nothing provides " << u;
    Dl_info info;
    ASSERT_NE(0, dladdr(addr, &info));
    std::string from = info.dli_fname ? info.dli_fname : "";
    if (from.find("libpelk_sim") == std::string::npos) {
      EXPECT_EQ(1u, shared_with_libc.count(u)) << u << " comes from " << from;
    }
  }
  // The loader's entry points are the only functions it exports.
  EXPECT_EQ((std::set<std::string>{"init_module", "cleanup_module", "__module_layout"}),
            std::set<std::string>(m.defined.begin(), m.defined.end()));
}

}  // namespace
