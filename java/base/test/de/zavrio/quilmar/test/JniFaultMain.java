package de.zavrio.quilmar.test;

/** Not a JUnit test: the jnicheck run shows what -Xcheck:jni says about a faulty native. */
public final class JniFaultMain {
    static native int fault(int leakedLocalReferences);

    public static void main(String[] args) {
        NativeLibraries.load("jnuprobe");
        System.out.println("fault " + fault(Integer.parseInt(args[0])) + " done");
    }
}
