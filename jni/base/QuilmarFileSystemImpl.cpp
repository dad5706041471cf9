// Natives of QuilmarFileSystemImpl: testing and changing a file's access
// permissions.
#include "base_internal.h"
#include "fileSystem.h"
#include "jnu.h"

#include <sys/stat.h>
#include <unistd.h>

#define FS_NATIVE(name) Java_de_zavrio_quilmar_io_linux_file_QuilmarFileSystemImpl_##name

namespace
{

// java.io.File's "absname" where the class library has one; otherwise the
// path comes from File.getAbsolutePath() (OpenJDK keeps only the path as
// given, which may be relative).
jfieldID ids;
jmethodID MID_File_getAbsolutePath;

constexpr const char *kUnknownAccess = "unkown value for parameter access";

// The file's absolute path as a local reference; null with an exception
// pending when it cannot be had.
jstring absolute_path(JNIEnv *env, jobject file)
{
    if (!base_require(env, file, "file")) {
        return nullptr;
    }
    if (ids != nullptr) {
        return static_cast<jstring>(env->GetObjectField(file, ids));
    }
    jmethodID mid = MID_File_getAbsolutePath;
    if (mid == nullptr) {
        // nativeInit has not run, or found neither member: look it up on
        // the object's own class.
        JNU_LocalRef cls(env, env->GetObjectClass(file));
        mid = JNU_GetMethodID(env, static_cast<jclass>(cls.get()), "getAbsolutePath", "()Ljava/lang/String;");
        if (mid == nullptr) {
            return nullptr;
        }
    }
    auto path = static_cast<jstring>(env->CallObjectMethod(file, mid));
    if (env->ExceptionCheck()) {
        env->DeleteLocalRef(path);
        return nullptr;
    }
    return path;
}

// The file's absolute path as modified UTF-8 for the duration of a call;
// get() is null with an exception pending when it cannot be had.
class AbsolutePath
{
  public:
    AbsolutePath(JNIEnv *env, jobject file)
        : ref_(env, absolute_path(env, file)), utf_(env, static_cast<jstring>(ref_.get()))
    {
    }
    const char *get() const { return utf_.get(); }

  private:
    JNU_LocalRef ref_; // declared first: released after the chars
    BaseUtf utf_;
};

} // namespace

mode_t fs_permission_bits(int access, bool owner_only)
{
    switch (access) {
    case FS_ACCESS_READ:
        return owner_only ? 0400 : 0444;
    case FS_ACCESS_WRITE:
        return owner_only ? 0200 : 0222;
    case FS_ACCESS_EXECUTE:
        return owner_only ? 0100 : 0111;
    default:
        return 0;
    }
}

int statMode(const char *path, mode_t *mode)
{
    struct stat st {
    };
    if (stat(path, &st) != 0) {
        return 0;
    }
    *mode = st.st_mode;
    return 1;
}

bool fs_check_access(const char *path, int access)
{
    return ::access(path, access) == 0;
}

bool fs_set_permission(const char *path, int access, bool enable, bool owner_only)
{
    const mode_t bits = fs_permission_bits(access, owner_only);
    mode_t mode = 0;
    if (statMode(path, &mode) == 0) {
        return false;
    }
    mode = enable ? (mode | bits) : (mode & ~bits);
    return chmod(path, mode) == 0;
}

extern "C" {

JNIEXPORT void JNICALL FS_NATIVE(nativeInit)(JNIEnv *env, jclass)
{
    jclass file = env->FindClass("java/io/File");
    if (file == nullptr) {
        env->ExceptionClear();
        return;
    }
    // A class library without "absname" is not an error here: the methods
    // then ask the File for its absolute path.
    ids = env->GetFieldID(file, "absname", "Ljava/lang/String;");
    if (ids == nullptr) {
        env->ExceptionClear();
        MID_File_getAbsolutePath = JNU_GetMethodID(env, file, "getAbsolutePath", "()Ljava/lang/String;");
    }
    env->DeleteLocalRef(file);
}

JNIEXPORT jboolean JNICALL FS_NATIVE(checkAccess)(JNIEnv *env, jobject, jobject file, jint access)
{
    if (fs_permission_bits(access, false) == 0) {
        JNU_ThrowByName(env, "java.lang.IllegalArgumentException", kUnknownAccess);
        return JNI_FALSE;
    }
    AbsolutePath p(env, file);
    if (p.get() == nullptr) {
        return JNI_FALSE;
    }
    return fs_check_access(p.get(), access) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL FS_NATIVE(setPermission)(JNIEnv *env, jobject, jobject file, jint access,
                                                    jboolean enable, jboolean ownerOnly)
{
    AbsolutePath p(env, file);
    if (p.get() == nullptr) {
        return JNI_FALSE;
    }
    if (fs_permission_bits(access, false) == 0) {
        JNU_ThrowByName(env, "java.lang.IllegalArgumentException", kUnknownAccess);
        return JNI_FALSE;
    }
    return fs_set_permission(p.get(), access, enable == JNI_TRUE, ownerOnly == JNI_TRUE) ? JNI_TRUE
                                                                                         : JNI_FALSE;
}

} // extern "C"
