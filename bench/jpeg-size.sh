# Sourced by the benchmark scripts.
# jpeg_size FILE: prints "WIDTH HEIGHT" from the JPEG's frame header, or "?"
# when there is none.
jpeg_size() {
    head -c 65536 "$1" | od -An -v -tu1 | tr -s ' ' '\n' | awk '
        NF { b[n++] = $1 }
        END {
            i = 2
            while (i + 8 < n && b[i] == 255) {
                m = b[i + 1]
                if (m >= 192 && m <= 195) { print b[i + 7] * 256 + b[i + 8], b[i + 5] * 256 + b[i + 6]; exit }
                i += 2 + b[i + 2] * 256 + b[i + 3]
            }
            print "?"
        }'
}
