// Natives of SymbolicLinkUtil: creating and reading symbolic links.
#include "base_internal.h"
#include "jnu.h"

#include <cerrno>

#include <unistd.h>

#define LINK_NATIVE(name) Java_de_zavrio_quilmar_io_linux_file_SymbolicLinkUtil_##name

namespace
{

// A link's content is read into this many bytes; longer content comes back
// cut to them.
constexpr size_t kLinkMax = 100;

const BaseErrnoText kCreateErrors[] = {
    {EACCES, "errno: EACCES"},
    {EDQUOT, "errno: EDQUOT"},
    {EEXIST, "errno: EEXIST"},
    {EFAULT, "errno: EFAULT"},
    {EIO, "errno: EIO"},
    {ENAMETOOLONG, "errno: ENAMETOOLONG"},
    {ENOENT, "errno: ENOENT"},
    {ENOSPC, "errno: ENOSPC"},
    {ENOTDIR, "errno: ENOTDIR"},
    {EROFS, "errno: EROFS"},
    {0, nullptr},
};

const BaseErrnoText kReadErrors[] = {
    {EACCES, "errno: EACCES"}, {EFAULT, "errno: EFAULT"},   {EINVAL, "errno: EINVAL"},
    {EIO, "errno: EIO"},       {ELOOP, "errno: ELOOP"},     {ENAMETOOLONG, "errno: ENAMETOOLONG"},
    {ENOENT, "errno: ENOENT"}, {ENOTDIR, "errno: ENOTDIR"}, {0, nullptr},
};

constexpr const char *kUnknownErrno = "errno: unkown";

} // namespace

extern "C" {

JNIEXPORT void JNICALL LINK_NATIVE(createSymLinkNative)(JNIEnv *env, jobject, jstring link, jstring target)
{
    if (!base_require(env, link, "link") || !base_require(env, target, "target")) {
        return;
    }
    BaseUtf l(env, link);
    if (l.get() == nullptr) {
        return; // OutOfMemoryError pending: no further call into the VM
    }
    BaseUtf t(env, target);
    if (t.get() == nullptr) {
        return;
    }
    if (symlink(t.get(), l.get()) != 0) {
        JNU_ThrowByName(env, "java.io.IOException", base_errno_text(kCreateErrors, errno, kUnknownErrno));
    }
}

JNIEXPORT jstring JNICALL LINK_NATIVE(readLinkNative)(JNIEnv *env, jobject, jstring path)
{
    if (!base_require(env, path, "path")) {
        return nullptr;
    }
    char content[kLinkMax + 1];
    ssize_t n = 0;
    int err = 0;
    {
        BaseUtf p(env, path);
        if (p.get() == nullptr) {
            return nullptr;
        }
        n = readlink(p.get(), content, kLinkMax);
        err = errno; // releasing the path may change errno
    }
    if (n < 0) {
        JNU_ThrowByName(env, "java.io.IOException", base_errno_text(kReadErrors, err, kUnknownErrno));
        return nullptr;
    }
    content[n] = '\0';
    return base_new_string(env, content);
}

} // extern "C"
