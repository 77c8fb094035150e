# bash completion for larkin-cli (plain bash: it needs nothing of bash-completion)
_larkin_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local IFS=$'\n'
  case $prev in
    --machine|--save|--floppy-image)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --images)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      return ;;
    --image)
      # The boot images: the folders of File_Images (or of --images DIR).
      local folder=/usr/lib/larkin/File_Images i
      for ((i = 1; i < COMP_CWORD - 1; i++)); do
        [[ ${COMP_WORDS[i]} == --images ]] && folder=${COMP_WORDS[i + 1]}
      done
      COMPREPLY=($(cd "$folder" 2>/dev/null && compgen -d -- "$cur"))
      return ;;
    --timeout|--progress-fd|--drive-path)
      return ;;
  esac
  local command="" i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --machine|--save|--image|--images|--timeout|--floppy-image) ((i++)) ;;
      -*) ;;
      *) command=${COMP_WORDS[i]}; break ;;
    esac
  done
  local words
  case $command in
    "") words="list boot zero partition write-image restore-mbr verify --machine --help" ;;
    list) words="--json" ;;
    boot) words="--image --images --from-floppy --floppy-image --keep-floppy-paths --yes --json" ;;
    zero) words="--yes --timeout" ;;
    partition) words="--via-corvid --yes --timeout" ;;
    write-image) words="--save --image" ;;
    restore-mbr) words="--save" ;;
    *) words="" ;;
  esac
  IFS=$' \t\n'
  COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _larkin_cli larkin-cli
