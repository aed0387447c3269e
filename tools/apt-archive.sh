# Sourced by the install step and the Debian 13 check: the Debian archive as
# the machine's own apt settings name it, so that a local mirror or proxy
# is used as everything else on the machine uses it.
#
#   apt_sources         one line per source: file, archive, suites
#   debian_archive      the archive that serves this release's own suite
#                       (a mirror of the whole archive), or an error

apt_sources() {
    local file list parts
    # Where apt itself looks (APT_CONFIG may point elsewhere).
    eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
    for file in "$list" "$parts"*.list; do
        [[ -f $file ]] || continue
        # One-line form: deb [options] URI SUITE COMPONENT...
        sed -E 's/#.*//; s/\[[^]]*\]//' "$file" |
            awk -v f="$file" '$1 == "deb" || $1 == "deb-src" { print f, $2, $3 }'
    done
    for file in "$parts"*.sources; do
        [[ -f $file ]] || continue
        # deb822 form: stanzas of Types, URIs, Suites (and Enabled).
        awk -v f="$file" '
            function flush() { if (uris != "" && enabled != "no") { n = split(uris, u, " ");
                               for (i = 1; i <= n; i++) print f, u[i], suites }
                               uris = ""; suites = ""; enabled = "" }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            tolower($1) == "uris:" { $1 = ""; uris = $0 }
            tolower($1) == "suites:" { $1 = ""; suites = $0 }
            tolower($1) == "enabled:" { enabled = tolower($2) }
            END { flush() }' "$file"
    done
}

debian_archive() {
    local codename archive
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    archive=$(apt_sources | awk -v c="$codename" '{ for (i = 3; i <= NF; i++) if ($i == c) { print $2; exit } }')
    if [[ -z $archive ]]; then
        echo "no Debian archive for $codename in the machine's apt sources; these were found:" >&2
        apt_sources | sed 's/^/  /' >&2
        return 1
    fi
    echo "${archive%/}"
}
