# Sourced by the tools that fetch from Debian (tools/debian_root.sh, tools/free_threaded_python.sh):
# `mirror` prints the Debian mirror that the machine's own apt uses, so that no host name is
# written into the tools; QUOREL_DEBIAN_MIRROR overrides it. The caller defines `fail`.
mirror() {
    if [[ -n "${QUOREL_DEBIAN_MIRROR:-}" ]]; then
        echo "$QUOREL_DEBIAN_MIRROR"
        return
    fi
    local uri
    uri="$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
           awk '/^URIs:/ {for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) {print $i; exit}}')"
    [[ -n "$uri" ]] || uri="$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ {print $2; exit}' \
                              /etc/apt/sources.list 2>/dev/null)"
    [[ -n "$uri" ]] || fail "no Debian mirror in the machine's apt sources; set QUOREL_DEBIAN_MIRROR"
    echo "$uri"
}
