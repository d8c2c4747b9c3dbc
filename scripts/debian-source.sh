# Sourced by the scripts that build from Debian's source packages (libwebsockets.sh,
# windows-sdk.sh). apt of their own: the deb-src twins of the machine's deb entries, in a sources
# file with package lists of its own under a folder of the caller's, so that neither root nor a
# change to the machine's apt is needed.
#
#   debian_source_init DIR    apt's files go below DIR; sets the array debian_apt
#   debian_source_sources     writes the sources file; false when it was already so
#   debian_source_update      fetches the lists of those entries
#   apt-get "${debian_apt[@]}" source ...

debian_source_init() {
    debian_source_dir=$1
    debian_apt=(-o "Dir::Etc::SourceList=$debian_source_dir/none.list"
        -o "Dir::Etc::SourceParts=$debian_source_dir/sources.list.d"
        -o "Dir::State::Lists=$debian_source_dir/lists" -o "Dir::Cache=$debian_source_dir/cache"
        -o "Debug::NoLocking=1")
}

debian_source_sources() {
    local system=/etc/apt/sources.list.d/debian.sources dir=$debian_source_dir
    mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/none.list"
    if [ ! -r "$system" ]; then
        # The one-line format (a debootstrap root, an older install).
        [ -r /etc/apt/sources.list ] || { echo "no $system or /etc/apt/sources.list" >&2; return 2; }
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$dir/sources.new"
        [ -s "$dir/sources.new" ] || { echo "no deb entries in /etc/apt/sources.list" >&2; return 2; }
        if cmp -s "$dir/sources.new" "$dir/sources.list.d/debian-src.list"; then
            rm "$dir/sources.new"
            return 1
        fi
        mv "$dir/sources.new" "$dir/sources.list.d/debian-src.list"
        return 0
    fi
    # Each stanza of type deb again as deb-src, comments dropped.
    awk 'BEGIN { RS = ""; FS = "\n" }
         {
             keep = 0; out = ""
             for (i = 1; i <= NF; i++) {
                 line = $i
                 if (line ~ /^#/) continue
                 if (line ~ /^Types:/) {
                     n = split(line, types, /[ \t]+/)
                     for (j = 2; j <= n; j++) if (types[j] == "deb") keep = 1
                     line = "Types: deb-src"
                 }
                 out = out line "\n"
             }
             if (keep) printf "%s\n", out
         }' "$system" >"$dir/sources.new"
    grep -q '^Types: deb-src' "$dir/sources.new" || { echo "no deb entries in $system" >&2; return 2; }
    if cmp -s "$dir/sources.new" "$dir/sources.list.d/debian-src.sources"; then
        rm "$dir/sources.new"
        return 1
    fi
    mv "$dir/sources.new" "$dir/sources.list.d/debian-src.sources"
}

debian_source_update() {
    apt-get "${debian_apt[@]}" update -q
}
