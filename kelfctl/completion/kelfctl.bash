# bash completion for kelfctl: options, objects, commands and keywords.

# Numbers after key in the JSON listing of an object, from the running kelfd.
_kelfctl_live() {
    kelfctl -t 1 -j "$1" list 2>/dev/null | grep -o "$2[0-9]*" | cut -d: -f2 | sort -un
}

_kelfctl() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local objects="rule config mask port stats lbg mirror mcast hash phy gpio reg bypass temp xcvr daemon raw check apply save help"

    case $prev in
        -u|--unit) COMPREPLY=($(compgen -W "0 1 2 3 4 5 6 7" -- "$cur")); return ;;
        -S|--socket|-b|--batch) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -w|--wait|-t|--timeout) return ;;
    esac

    # Find the object and its command past the options.
    local i obj="" cmd="" objidx=0
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -u|--unit|-S|--socket|-b|--batch|-w|--wait|-t|--timeout) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $obj ]]; then obj=${words[i]}; objidx=$i
                elif [[ -z $cmd ]]; then cmd=${words[i]}; break
                fi ;;
        esac
    done

    if [[ -z $obj ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "-u --unit -S --socket -j --json -p --pretty -s --stats -d --details -b --batch -f --force -t --timeout -w --wait -h --help -V --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$objects" -- "$cur"))
        fi
        return
    fi

    local commands=""
    case $obj in
        rule) commands="add show list stats delete flush help" ;;
        config|cfg) commands="set show help" ;;
        mask) commands="set show help" ;;
        port) commands="show link set state help" ;;
        stats) commands="show watch priorities reset help" ;;
        lbg) commands="add delete list show help" ;;
        mirror) commands="add delete add-port delete-port vlan list show help" ;;
        mcast) commands="add list delete show add-listener help" ;;
        hash) commands="show set help" ;;
        phy|reg) commands="read write help" ;;
        gpio) commands="show set direction help" ;;
        bypass|temp|xcvr) commands="read write help" ;;
        daemon) commands="show set help" ;;
        help) COMPREPLY=($(compgen -W "$objects" -- "$cur")); return ;;
        raw) return ;;
        check|apply) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        save) COMPREPLY=($(compgen -f -W "--partial" -- "$cur")); return ;;
    esac
    if [[ -z $cmd ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi

    local words_kw=""
    case $obj/$cmd in
        rule/add)
            case $prev in
                ethertype) words_kw="ipv4 arp ipv6 vlan mpls mpls-mc lldp qinq rarp pppoe eapol ptp fcoe" ;;
                protocol) words_kw="icmp igmp tcp udp gre esp ah icmpv6 ospf sctp" ;;
                vlan-tag) words_kw="untagged tagged user-a user-b vlan1 vlan2 only-vlan1 only-vlan2 vlan1-vlan2 vlan2-untagged" ;;
                mpls) words_kw="unicast multicast" ;;
                group|id|redirect|lbg|mirror|set-*|in-port|src-mac|dst-mac|vlan|src-ip|dst-ip|sport|dport|mpls-header) return ;;
                *) words_kw="group id drop permit redirect lbg mirror rewrite set-vlan set-vlan-priority
                             set-switch-priority set-user-bits in-port src-mac dst-mac ethertype vlan vlan-tag
                             src-ip dst-ip protocol sport dport mpls mpls-header" ;;
            esac ;;
        rule/show|rule/stats|rule/delete)
            # Live ids and groups, from the running kelfd.
            case $prev in
                id) words_kw=$(_kelfctl_live rule '"id":') ;;
                group) words_kw=$(_kelfctl_live rule '"group":') ;;
                *) words_kw="group id -d -s" ;;
            esac ;;
        rule/list) words_kw="group -d -s" ;;
        lbg/delete|lbg/show) [[ $prev == "$cmd" ]] && words_kw=$(_kelfctl_live lbg '"lbg":') ;;
        mirror/delete|mirror/show|mirror/add-port|mirror/delete-port|mirror/vlan)
            [[ $prev == "$cmd" ]] && words_kw=$(_kelfctl_live mirror '"mirror":') ;;
        stats/watch) words_kw="interval count" ;;
        port/show|stats/show|temp/read) words_kw="-d" ;;
        config/set|cfg/set) words_kw="pairs fan-in isolated mesh" ;;
        mask/set) words_kw="to all none" ;;
        port/set)
            case $prev in
                ttl-update) words_kw="on off" ;;
                loopback) words_kw="off 1 2" ;;
                prbs) words_kw="7 9 11 15 23 31" ;;
                7|9|11|15|23|31) words_kw="tx rx" ;;
                vlans) words_kw="all none" ;;
                parser|frame-update) return ;;
                *) words_kw="parser frame-update ttl-update loopback prbs vlans" ;;
            esac ;;
        mirror/add) words_kw="ports" ;;
        mirror/vlan) words_kw="none" ;;
        mcast/add-listener) words_kw="port vlan" ;;
        hash/show) words_kw="l2 l3" ;;
        hash/set)
            case $prev in
                set) words_kw="l2 l3" ;;
                symmetric-*|random-*) words_kw="on off" ;;
                *)
                    if [[ " ${words[*]} " == *" l3 "* ]]; then
                        words_kw="profile src-ip dst-ip src-port dst-port dscp isl-user protocol flow custom
                                  symmetric-l3 symmetric-l4 random-next-hop random-other random-only"
                    else
                        words_kw="profile src-mac dst-mac ethertype vlan-id vlan2-id vlan-priority
                                  vlan2-priority symmetric-mac"
                    fi ;;
            esac ;;
        gpio/direction) words_kw="in out open-drain" ;;
        xcvr/read|xcvr/write) words_kw="rx" ;;
        daemon/set)
            case $prev in
                stay-up) words_kw="on off" ;;
                *) words_kw="stay-up" ;;
            esac ;;
    esac
    COMPREPLY=($(compgen -W "$words_kw" -- "$cur"))
}
complete -F _kelfctl kelfctl
