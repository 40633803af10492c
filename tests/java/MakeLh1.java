// Packs files into raw -lh1- streams with libjlha-java, a peer implementation used as a black box:
//   java -cp jlha.jar:DIR MakeLh1 IN OUT [IN OUT ...]
// Each OUT receives the bare packed stream of IN (no archive header), so the test can feed it to
// our expander with the size of IN.
import java.io.BufferedInputStream;
import java.io.BufferedOutputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.InputStream;
import java.io.OutputStream;
import jp.gr.java_conf.dangan.util.lha.CompressMethod;
import jp.gr.java_conf.dangan.util.lha.LhaProperty;

public class MakeLh1 {
  public static void main(String[] args) throws Exception {
    if (args.length == 0 || args.length % 2 != 0) {
      System.err.println("usage: MakeLh1 IN OUT [IN OUT ...]");
      System.exit(2);
    }
    byte[] buffer = new byte[65536];
    for (int i = 0; i < args.length; i += 2) {
      try (InputStream in = new BufferedInputStream(new FileInputStream(args[i]));
           OutputStream out = CompressMethod.connectEncoder(
               new BufferedOutputStream(new FileOutputStream(args[i + 1])), CompressMethod.LH1,
               LhaProperty.getProperties())) {
        int n;
        while ((n = in.read(buffer)) > 0) out.write(buffer, 0, n);
      }
    }
  }
}
