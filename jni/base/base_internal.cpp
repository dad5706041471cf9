#include "base_internal.h"

#include "jnu.h"

#include <cstring>

bool base_require(JNIEnv *env, jobject ref, const char *what)
{
    if (ref == nullptr) {
        JNU_ThrowByName(env, "java.lang.NullPointerException", what);
        return false;
    }
    return true;
}

void base_sanitize_utf(char *text, size_t len)
{
    auto continuation = [&](size_t at) {
        return at < len && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    size_t i = 0;
    while (i < len) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t need = 0;
        if (c < 0x80) {
            need = 0;
        } else if ((c & 0xE0) == 0xC0) {
            need = 1;
        } else if ((c & 0xF0) == 0xE0) {
            need = 2;
        } else {
            // Stray continuation bytes and four-byte forms, which modified
            // UTF-8 does not have.
            text[i++] = '?';
            continue;
        }
        bool whole = true;
        for (size_t k = 1; k <= need; ++k) {
            whole = whole && continuation(i + k);
        }
        if (!whole) {
            text[i++] = '?';
            continue;
        }
        i += need + 1;
    }
}

jstring base_new_string(JNIEnv *env, char *text)
{
    base_sanitize_utf(text, std::strlen(text));
    return env->NewStringUTF(text);
}

const char *base_errno_text(const BaseErrnoText *table, int err, const char *fallback)
{
    for (const BaseErrnoText *row = table; row->text != nullptr; ++row) {
        if (row->err == err) {
            return row->text;
        }
    }
    return fallback;
}
