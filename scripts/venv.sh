# Sourced by the scripts: the virtual environment they install into and run
# from. PRAVLIN_VENV overrides the default, .venv in the checkout.
venv=${PRAVLIN_VENV:-$PWD/.venv}
export VIRTUAL_ENV=$venv
export PATH="$venv/bin:$PATH"
