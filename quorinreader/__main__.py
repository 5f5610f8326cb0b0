"""python -m quorinreader: the quorinreader command."""

if __name__ == "__main__":
    from ._cli import run

    run()
