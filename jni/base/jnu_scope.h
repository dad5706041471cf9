// Scope guards for the JNI libraries: a local reference deleted on every
// path, and a batch of lookups that runs to its end despite failures.
#pragma once

#include <jni.h>

class JNU_LocalRef
{
  public:
    JNU_LocalRef(JNIEnv *env, jobject ref) : env_(env), ref_(ref) {}
    ~JNU_LocalRef()
    {
        if (ref_ != nullptr) {
            env_->DeleteLocalRef(ref_);
        }
    }
    JNU_LocalRef(const JNU_LocalRef &) = delete;
    JNU_LocalRef &operator=(const JNU_LocalRef &) = delete;
    jobject get() const { return ref_; }

  private:
    JNIEnv *env_;
    jobject ref_;
};

// Runs the lookups of one initialisation entry one after the other without
// stopping at a failure. The VM forbids further calls while an exception is
// pending, so each failure's exception is set aside, and the first one is
// raised again when the batch ends.
class JNU_LookupBatch
{
  public:
    explicit JNU_LookupBatch(JNIEnv *env) : env_(env) {}
    ~JNU_LookupBatch()
    {
        if (first_ != nullptr) {
            env_->ExceptionClear();
            env_->Throw(first_);
            env_->DeleteLocalRef(first_);
        }
    }
    JNU_LookupBatch(const JNU_LookupBatch &) = delete;
    JNU_LookupBatch &operator=(const JNU_LookupBatch &) = delete;

    // Call after each lookup; passes the result through.
    template <typename T> T operator()(T result)
    {
        if (env_->ExceptionCheck()) {
            jthrowable pending = env_->ExceptionOccurred();
            env_->ExceptionClear();
            if (first_ == nullptr) {
                first_ = pending;
            } else {
                env_->DeleteLocalRef(pending);
            }
        }
        return result;
    }
    bool failed() const { return first_ != nullptr; }

  private:
    JNIEnv *env_;
    jthrowable first_ = nullptr;
};
