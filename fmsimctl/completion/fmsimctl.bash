# bash completion for fmsimctl: options, commands and their words.

_fmsimctl() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local commands="trace send replay capture ports stats help"
    local frame_words="src-mac dst-mac ethertype vlan src-ip dst-ip protocol sport dport mpls length frame"

    case $prev in
        -u|--unit) COMPREPLY=($(compgen -W "0 1 2 3 4 5 6 7" -- "$cur")); return ;;
        -S|--socket) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -w) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -t|--timeout|-c|in-port|src-mac|dst-mac|ethertype|vlan|src-ip|dst-ip|sport|dport|length|frame) return ;;
        protocol) COMPREPLY=($(compgen -W "tcp udp icmp" -- "$cur")); return ;;
        mpls) COMPREPLY=($(compgen -W "unicast multicast" -- "$cur")); return ;;
    esac

    local i cmd=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            -u|--unit|-S|--socket|-t|--timeout) ((i++)) ;;
            -*) ;;
            *) cmd=${words[i]}; break ;;
        esac
    done

    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "-u --unit -j --json -p --pretty -S --socket -t --timeout -h --help -V --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    case $cmd in
        help) COMPREPLY=($(compgen -W "trace send replay capture ports stats" -- "$cur")) ;;
        tr*) COMPREPLY=($(compgen -W "in-port $frame_words help" -- "$cur")) ;;
        st*) COMPREPLY=($(compgen -W "help" -- "$cur")) ;;
        s*) COMPREPLY=($(compgen -W "in-port help" -- "$cur") $(compgen -f -X '!*.pcap*' -- "$cur")) ;;
        r*) COMPREPLY=($(compgen -W "in-port -w --trace --replace help" -- "$cur") $(compgen -f -X '!*.pcap*' -- "$cur")) ;;
        c*) COMPREPLY=($(compgen -W "-w -c help" -- "$cur")) ;;
        p*) COMPREPLY=($(compgen -W "help" -- "$cur")) ;;
    esac
}
complete -F _fmsimctl fmsimctl
