package de.zavrio.quilmar.test;

/** Natives of the jnuprobe test library, each a thin call into one binding helper. */
final class JnuProbe {
    private JnuProbe() {}

    static native void throwByName(String className, String message);

    static native boolean hasField(Class<?> target, String name, String signature);

    static native boolean hasMethod(Class<?> target, String name, String signature);

    static native int setStringField(Object target, String field, String text);
}
