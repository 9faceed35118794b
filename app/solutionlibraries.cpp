#include "app/solutionlibraries.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QVector>

#ifdef Q_OS_LINUX
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#endif

namespace {

#ifdef Q_OS_LINUX

// Reads a T at offset of the mapped file, bounds checked; the file is no
// trusted input and its fields need not be aligned.
template <typename T>
bool readAt(const uchar *data, quint64 size, quint64 offset, T *value)
{
    if (offset > size || size - offset < sizeof(T))
        return false;
    std::memcpy(value, data + offset, sizeof(T));
    return true;
}

bool isNativeElf(const ElfW(Ehdr) &header)
{
    const unsigned char nativeClass = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
    const unsigned char nativeData = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? ELFDATA2LSB : ELFDATA2MSB;
    return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == nativeClass
        && header.e_ident[EI_DATA] == nativeData && header.e_phentsize == sizeof(ElfW(Phdr));
}

QStringList readNeeded(const uchar *data, quint64 size)
{
    ElfW(Ehdr) header;
    if (!readAt(data, size, 0, &header) || !isNativeElf(header))
        return {};

    // The dynamic section and the loaded segments that map addresses, as the
    // loader sees them: section headers may be stripped.
    QVector<ElfW(Phdr)> loads;
    ElfW(Phdr) dynamic = {};
    bool hasDynamic = false;
    for (quint64 i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment;
        if (!readAt(data, size, quint64(header.e_phoff) + i * sizeof(ElfW(Phdr)), &segment))
            return {};
        if (segment.p_type == PT_LOAD) {
            loads.append(segment);
        } else if (segment.p_type == PT_DYNAMIC) {
            dynamic = segment;
            hasDynamic = true;
        }
    }
    if (!hasDynamic)
        return {};

    QVector<quint64> neededOffsets;
    quint64 stringTableAddress = 0;
    quint64 stringTableSize = 0;
    for (quint64 i = 0; i < dynamic.p_filesz / sizeof(ElfW(Dyn)); ++i) {
        ElfW(Dyn) entry;
        if (!readAt(data, size, quint64(dynamic.p_offset) + i * sizeof(ElfW(Dyn)), &entry))
            return {};
        if (entry.d_tag == DT_NULL)
            break;
        if (entry.d_tag == DT_NEEDED)
            neededOffsets.append(entry.d_un.d_val);
        else if (entry.d_tag == DT_STRTAB)
            stringTableAddress = entry.d_un.d_ptr;
        else if (entry.d_tag == DT_STRSZ)
            stringTableSize = entry.d_un.d_val;
    }

    quint64 stringTable = 0;
    bool mapped = false;
    for (const ElfW(Phdr) &segment : qAsConst(loads)) {
        if (stringTableAddress >= segment.p_vaddr && stringTableAddress - segment.p_vaddr < segment.p_filesz) {
            stringTable = segment.p_offset + (stringTableAddress - segment.p_vaddr);
            mapped = true;
            break;
        }
    }
    if (!mapped || stringTable > size || size - stringTable < stringTableSize)
        return {};

    QStringList names;
    const char *strings = reinterpret_cast<const char *>(data + stringTable);
    for (const quint64 offset : qAsConst(neededOffsets)) {
        if (offset >= stringTableSize)
            return {};
        const void *end = std::memchr(strings + offset, '\0', size_t(stringTableSize - offset));
        if (!end)
            return {};
        names.append(QFile::decodeName(QByteArray(strings + offset, int(static_cast<const char *>(end) - (strings + offset)))));
    }
    return names;
}

void preloadNeeded(const QString &path, const QString &solutionsDir, QSet<QString> &seen)
{
    const QStringList names = neededLibraries(path);
    for (const QString &name : names) {
        // A name with a slash is a path the loader opens as it is.
        if (name.contains(QLatin1Char('/')) || seen.contains(name))
            continue;
        seen.insert(name);
        const QString candidate = QDir(solutionsDir).filePath(name);
        if (!QFileInfo(candidate).isFile())
            continue;
        if (void *loaded = ::dlopen(QFile::encodeName(name).constData(), RTLD_LAZY | RTLD_NOLOAD)) {
            ::dlclose(loaded);
            continue;
        }
        preloadNeeded(candidate, solutionsDir, seen);
        // Global, as the libraries the launcher itself links are; never
        // closed, as the loader keeps a plugin's libraries.
        if (!::dlopen(QFile::encodeName(candidate).constData(), RTLD_LAZY | RTLD_GLOBAL))
            qWarning() << "load library " << candidate << " failed!, error=" << ::dlerror();
    }
}

#endif // Q_OS_LINUX

} // namespace

QStringList neededLibraries(const QString &path)
{
#ifdef Q_OS_LINUX
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= 0)
        return {};
    const quint64 size = quint64(file.size());
    const uchar *data = file.map(0, file.size());
    if (!data)
        return {};
    const QStringList names = readNeeded(data, size);
    file.unmap(const_cast<uchar *>(data));
    return names;
#else
    Q_UNUSED(path)
    return {};
#endif
}

void preloadSolutionLibraries(const QString &pluginPath, const QString &solutionsDir)
{
#ifdef Q_OS_LINUX
    QSet<QString> seen;
    preloadNeeded(pluginPath, solutionsDir, seen);
#else
    Q_UNUSED(pluginPath)
    Q_UNUSED(solutionsDir)
#endif
}
