# bash completion for larkin-cli
_larkin_cli() {
  local cur prev words cword
  _init_completion || return
  local commands="list boot zero partition write-image restore-mbr verify"
  case $prev in
    --machine|--save)
      _filedir
      return ;;
    --floppy-image)
      _filedir '@(img|ima|IMG|IMA)'
      return ;;
    --images)
      _filedir -d
      return ;;
    --image)
      local folder=/usr/lib/larkin/File_Images i
      for ((i = 1; i < cword; i++)); do
        [[ ${words[i]} == --images ]] && folder=${words[i + 1]}
      done
      COMPREPLY=($(compgen -W "$(command ls "$folder" 2>/dev/null)" -- "$cur"))
      return ;;
    --timeout)
      return ;;
  esac
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --machine|--save|--image|--images|--timeout|--floppy-image) ((i++)) ;;
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$commands --machine --help" -- "$cur"))
    return
  fi
  local options
  case $command in
    list) options="--json" ;;
    boot) options="--image --images --from-floppy --floppy-image --keep-floppy-paths --yes --json" ;;
    zero) options="--yes --timeout" ;;
    partition) options="--via-corvid --yes --timeout" ;;
    write-image) options="--save --image" ;;
    restore-mbr) options="--save" ;;
    *) options="" ;;
  esac
  COMPREPLY=($(compgen -W "$options" -- "$cur"))
}
complete -F _larkin_cli larkin-cli
