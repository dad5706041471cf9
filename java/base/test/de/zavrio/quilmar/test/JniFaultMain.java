package de.zavrio.quilmar.test;

/**
 * Not a JUnit test: run by the jnicheck test under -Xcheck:jni, whose output must
 * show the VM's warning. Argument: local references to leak, or 0 for an unchecked call.
 */
public final class JniFaultMain {
    private JniFaultMain() {
    }

    static native int fault(int count);

    public static void main(String[] args) {
        NativeLibraries.load("jnuprobe");
        int count = Integer.parseInt(args[0]);
        System.out.println("fault " + fault(count) + " done");
    }
}
