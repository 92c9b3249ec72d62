from tarnix_tools.cli import main

main()
