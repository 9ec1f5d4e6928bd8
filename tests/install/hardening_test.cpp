// The built daemon and checker carry the toolchain's exploit mitigations:
// read back from their ELF headers, program headers, dynamic sections and
// symbol tables, so that a build change that quietly drops one fails here.
#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// DT_FLAGS_1's "resolve every symbol at load": DF_1_NOW to glibc,
// DF_1_BIND_NOW to FreeBSD.
constexpr unsigned long long FLAGS_1_NOW = 0x1;

// What the checks need from one executable.
struct elf_facts {
    std::string error;  // empty when the file was read
    bool position_independent = false;
    bool relro = false;
    bool interpreter = false;
    bool bind_now = false;
    int needed = 0;
    std::vector<std::string> defined;    // symbols the file defines
    std::vector<std::string> undefined;  // symbols it takes from libraries
};

elf_facts failed(const char *why)
{
    elf_facts facts;
    facts.error = why;
    return facts;
}

std::vector<char> read_whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The layouts of one ELF class.
template <class Ehdr, class Phdr, class Shdr, class Dyn, class Sym>
struct elf_class {
    using ehdr = Ehdr;
    using phdr = Phdr;
    using shdr = Shdr;
    using dyn = Dyn;
    using sym = Sym;
};
using elf32 = elf_class<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Dyn, Elf32_Sym>;
using elf64 = elf_class<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Dyn, Elf64_Sym>;

// Copies a T from offset at of image, or returns false when it lies outside.
template <class T>
bool read_at(const std::vector<char> &image, unsigned long long at, T &out)
{
    if (at > image.size() || image.size() - at < sizeof(T))
        return false;
    std::memcpy(&out, image.data() + at, sizeof(T));
    return true;
}

// A NUL-terminated name at offset at of image, or "" when it lies outside.
std::string name_at(const std::vector<char> &image, unsigned long long at)
{
    if (at >= image.size())
        return "";
    const char *start = image.data() + at;
    return std::string(start, strnlen(start, image.size() - at));
}

// Reads the program headers, the dynamic section and every symbol table of
// a file of the host's byte order.
template <class E>
elf_facts parse(const std::vector<char> &image)
{
    elf_facts facts;
    typename E::ehdr eh{};
    if (!read_at(image, 0, eh))
        return failed("truncated ELF header");
    facts.position_independent = eh.e_type == ET_DYN;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        typename E::phdr ph{};
        if (!read_at(image, eh.e_phoff + 1ULL * i * eh.e_phentsize, ph))
            return failed("truncated program header");
        if (ph.p_type == PT_GNU_RELRO)
            facts.relro = true;
        if (ph.p_type == PT_INTERP)
            facts.interpreter = true;
        if (ph.p_type != PT_DYNAMIC)
            continue;
        for (unsigned long long at = ph.p_offset; at < ph.p_offset + ph.p_filesz; at += sizeof(typename E::dyn)) {
            typename E::dyn d{};
            if (!read_at(image, at, d) || d.d_tag == DT_NULL)
                break;
            if (d.d_tag == DT_NEEDED)
                ++facts.needed;
            if (d.d_tag == DT_BIND_NOW || (d.d_tag == DT_FLAGS && (d.d_un.d_val & DF_BIND_NOW) != 0) ||
                (d.d_tag == DT_FLAGS_1 && (d.d_un.d_val & FLAGS_1_NOW) != 0))
                facts.bind_now = true;
        }
    }
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        typename E::shdr table{}, names{};
        if (!read_at(image, eh.e_shoff + 1ULL * i * eh.e_shentsize, table))
            return failed("truncated section header");
        if (table.sh_type != SHT_SYMTAB && table.sh_type != SHT_DYNSYM)
            continue;
        if (!read_at(image, eh.e_shoff + 1ULL * table.sh_link * eh.e_shentsize, names))
            return failed("truncated section header");
        for (unsigned long long at = table.sh_offset; at + sizeof(typename E::sym) <= table.sh_offset + table.sh_size;
             at += sizeof(typename E::sym)) {
            typename E::sym s{};
            if (!read_at(image, at, s))
                return failed("truncated symbol table");
            std::string name = name_at(image, names.sh_offset + s.st_name);
            if (name.empty())
                continue;
            (s.st_shndx == SHN_UNDEF ? facts.undefined : facts.defined).push_back(name);
        }
    }
    return facts;
}

elf_facts read_elf(const std::string &path)
{
    std::vector<char> image = read_whole(path);
    if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0)
        return failed("not an ELF file");
    if (image[EI_CLASS] == ELFCLASS64)
        return parse<elf64>(image);
    if (image[EI_CLASS] == ELFCLASS32)
        return parse<elf32>(image);
    return failed("unknown ELF class");
}

bool has(const std::vector<std::string> &names, const std::string &name)
{
    for (const auto &n : names) {
        if (n == name || n.rfind(name + "@", 0) == 0)
            return true;
    }
    return false;
}

[[maybe_unused]] bool has_suffix(const std::vector<std::string> &names, const std::string &suffix)
{
    for (const auto &n : names) {
        std::string bare = n.substr(0, n.find('@'));
        if (bare.size() >= suffix.size() && bare.compare(bare.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    }
    return false;
}

}  // namespace

// A dynamic executable takes __stack_chk_fail from the C library; a static
// PIE (no DT_NEEDED, no interpreter, yet a dynamic section for its own
// relocation) carries it. When this test is itself compiled with FORTIFY, so
// were the programs, and some of their calls go through checked variants
// (__strcpy_chk, __fdelt_chk for FD_SET, ...): no unfortified build has a
// symbol ending in "_chk", not even glibc's static memcpy family.
TEST(Hardening, DaemonAndCheckerArePieWithFullRelroAndStackProtector)
{
    for (const std::string path : {DOVRA_TEST_BUILT_DAEMON, DOVRA_TEST_BUILT_CHECKCONF}) {
        SCOPED_TRACE(path);
        elf_facts elf = read_elf(path);
        ASSERT_EQ(elf.error, "");
        EXPECT_TRUE(elf.position_independent) << "not a position independent executable (ET_DYN)";
        EXPECT_TRUE(elf.relro) << "no PT_GNU_RELRO";
        EXPECT_TRUE(elf.bind_now) << "no BIND_NOW: RELRO is partial";
        const bool static_pie = elf.needed == 0 && !elf.interpreter;
        if (static_pie)
            EXPECT_TRUE(has(elf.defined, "__stack_chk_fail")) << "static, without the stack protector";
        else
            EXPECT_TRUE(has(elf.undefined, "__stack_chk_fail")) << "no stack protector";
#if defined(__GLIBC__) && defined(__OPTIMIZE__) && defined(_FORTIFY_SOURCE) && _FORTIFY_SOURCE > 0
        EXPECT_TRUE(has_suffix(static_pie ? elf.defined : elf.undefined, "_chk")) << "built without FORTIFY";
#endif
    }
}
