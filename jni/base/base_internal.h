// Helpers shared by the binding units of basenative. Not exported.
#pragma once

#include <jni.h>

#include "jnu_scope.h"

#include <cstddef>

// Holds the modified-UTF-8 chars of a Java string for the duration of a
// call and releases them on every return path. get() is null when the
// string could not be read (the VM's error is then pending).
class BaseUtf
{
  public:
    BaseUtf(JNIEnv *env, jstring s)
        : env_(env), s_(s), chars_(s != nullptr ? env->GetStringUTFChars(s, nullptr) : nullptr)
    {
    }
    ~BaseUtf()
    {
        if (chars_ != nullptr) {
            env_->ReleaseStringUTFChars(s_, chars_);
        }
    }
    BaseUtf(const BaseUtf &) = delete;
    BaseUtf &operator=(const BaseUtf &) = delete;
    const char *get() const { return chars_; }

  private:
    JNIEnv *env_;
    jstring s_;
    const char *chars_;
};

// Raises NullPointerException naming `what` when `ref` is null. Returns
// true when the caller may go on.
bool base_require(JNIEnv *env, jobject ref, const char *what);

// Replaces, in place, every byte of `text[0..len)` that does not belong to
// a well-formed modified-UTF-8 sequence by '?'. Text from outside (the
// supplicant, a link's content) may hold any bytes; the VM's string
// constructor must only ever see well-formed ones.
void base_sanitize_utf(char *text, size_t len);

// A new Java string of `text` (NUL-terminated, sanitised in place first);
// null with the VM's error pending when it cannot be made.
jstring base_new_string(JNIEnv *env, char *text);

// One row of an errno-to-text table; the table ends with {0, nullptr}.
struct BaseErrnoText {
    int err;
    const char *text;
};

// The text for `err`, or `fallback` when the table has none.
const char *base_errno_text(const BaseErrnoText *table, int err, const char *fallback);
